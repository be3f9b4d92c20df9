#include "interception/interceptionlauncher.h"

#include <QFileInfo>

namespace {

const QString httpProxyWorks = QStringLiteral("; the HTTP proxy works without it");

} // namespace

InterceptionLauncher::InterceptionLauncher(QString launcher, QString helper, QObject *parent)
    : QObject(parent)
    , m_launcher(std::move(launcher))
    , m_helper(std::move(helper))
{
}

InterceptionLauncher::~InterceptionLauncher()
{
    if (m_process) {
        m_process->disconnect(this);
        // Closing its input is the helper's signal to remove everything; it is reaped by itself.
        m_process->closeWriteChannel();
        m_process->setParent(nullptr);
        connect(m_process, &QProcess::finished, m_process, &QObject::deleteLater);
    }
}

void InterceptionLauncher::start(quint16 port, const QList<QHostAddress> &servers)
{
    if (m_process)
        return;
    if (!QFileInfo(m_helper).isExecutable())
        return fail(QStringLiteral("its helper %1 is missing").arg(m_helper));
    QStringList arguments { m_helper, QStringLiteral("--port"), QString::number(port) };
    for (const QHostAddress &server : servers)
        arguments << QStringLiteral("--server") << server.toString();
    m_process = new QProcess(this);
    m_output.clear();
    m_ready = false;
    m_stopping = false;
    connect(m_process, &QProcess::readyReadStandardOutput, this, &InterceptionLauncher::readOutput);
    connect(m_process, &QProcess::finished, this, &InterceptionLauncher::finished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail(QStringLiteral("%1 is not installed, so it cannot ask for permission").arg(m_launcher));
    });
    m_process->start(m_launcher, arguments);
}

void InterceptionLauncher::stop()
{
    if (!m_process)
        return;
    m_stopping = true;
    m_process->closeWriteChannel();
}

void InterceptionLauncher::readOutput()
{
    m_output += m_process->readAllStandardOutput();
    if (!m_ready && m_output.contains("ready\n")) {
        m_ready = true;
        Q_EMIT ready();
    }
}

void InterceptionLauncher::finished(int exitCode, QProcess::ExitStatus status)
{
    const bool wasReady = std::exchange(m_ready, false);
    const QByteArray errors = m_process->readAllStandardError().trimmed();
    m_process->deleteLater();
    m_process = nullptr;
    if (m_stopping)
        return;
    if (wasReady) {
        Q_EMIT ended(QStringLiteral("Transparent proxying stopped: its helper ended"));
        return;
    }
    // pkexec: 126 when the user dismissed the dialog, 127 when permission was not given.
    if (status == QProcess::NormalExit && exitCode == 126)
        return fail(QStringLiteral("the request for permission was dismissed"));
    if (status == QProcess::NormalExit && exitCode == 127)
        return fail(QStringLiteral("permission was refused, or no authentication agent could ask for it"));
    const QByteArray lastLine = errors.mid(errors.lastIndexOf('\n') + 1);
    fail(lastLine.isEmpty() ? QStringLiteral("its helper failed")
                            : QStringLiteral("its helper failed: %1").arg(QString::fromLocal8Bit(lastLine)));
}

void InterceptionLauncher::fail(const QString &what)
{
    if (m_process && m_process->state() == QProcess::NotRunning) {
        m_process->deleteLater();
        m_process = nullptr;
    }
    Q_EMIT failed(QStringLiteral("Transparent proxying could not start: ") + what + httpProxyWorks);
}
