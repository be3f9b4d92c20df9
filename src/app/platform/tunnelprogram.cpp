#include "app/platform/tunnelprogram.h"

#include "core/foundation/appid.h"
#include "core/foundation/jsoncoding.h"
#include "core/foundation/log.h"
#include "core/tunnel/ipcframe.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <unistd.h>

QString tunnelProgramPath(const QString &applicationDir)
{
    const QDir dir(applicationDir);
    const QString installed = QDir::cleanPath(dir.filePath(QStringLiteral(WRENLOW_TUNNEL_DIR "/wrenlow-tunnel")));
    const QString beside = dir.filePath(QStringLiteral("wrenlow-tunnel"));
    if (!QFileInfo::exists(installed) && QFileInfo::exists(beside))
        return beside;
    return installed;
}

QString defaultTunnelProgramPath()
{
    return tunnelProgramPath(QCoreApplication::applicationDirPath());
}

QString transparentProxyRequirement(const QString &tunnelProgramPath)
{
    const QString helper = QFileInfo(tunnelProgramPath).dir().filePath(QStringLiteral("wrenlow-intercept"));
    if (!QFileInfo(helper).isExecutable())
        return QCoreApplication::translate("TransparentProxy",
            "Not available: its helper %1 is missing. Reinstall Wrenlow; the HTTP proxy works without it.")
            .arg(helper);
    if (::geteuid() != 0 && QStandardPaths::findExecutable(QStringLiteral("pkexec")).isEmpty())
        return QCoreApplication::translate("TransparentProxy",
            "Not available: it needs pkexec (Debian package \"pkexec\") to ask for an administrator's "
            "permission. The HTTP proxy works without it.");
    return {};
}

QString defaultTunnelSocketPath()
{
    return appRuntimeDirectory() + QStringLiteral("/tunnel.sock");
}

QString lastErrorPathFor(const QString &socketPath)
{
    return QFileInfo(socketPath).absolutePath() + QStringLiteral("/last-error.json");
}

std::optional<ProgramProblem> tunnelProgramProblem(const QString &programPath)
{
    const QFileInfo info(programPath);
    if (!info.exists())
        return ProgramProblem::missing;
    if (!info.isFile() || !info.isExecutable())
        return ProgramProblem::notExecutable;
    return std::nullopt;
}

TunnelHandshake::TunnelHandshake(QString programPath, std::chrono::milliseconds timeout, QObject *parent)
    : QObject(parent)
    , m_programPath(std::move(programPath))
    , m_timeout(timeout)
{
}

TunnelHandshake::~TunnelHandshake()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        // Reaped when it has gone, so the GUI thread never waits for it; one still there at exit
        // goes with the application object.
        m_process->disconnect(this);
        m_process->setParent(QCoreApplication::instance());
        connect(m_process, &QProcess::finished, m_process, &QObject::deleteLater);
        m_process->kill();
    }
}

void TunnelHandshake::start()
{
    if (const auto problem = tunnelProgramProblem(m_programPath)) {
        const QString text = *problem == ProgramProblem::missing
            ? QStringLiteral("The tunnel program wrenlow-tunnel is not installed at %1").arg(m_programPath)
            : QStringLiteral("The tunnel program at %1 is not executable").arg(m_programPath);
        // Answers always come after start() returns, so callers can connect first in any order.
        QTimer::singleShot(0, this, [this, text] { finish(text); });
        return;
    }

    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("The tunnel program at %1 did not answer within %2 seconds")
                   .arg(m_programPath, QString::number(double(m_timeout.count()) / 1000.0)));
    });
    connect(m_process, &QProcess::readyReadStandardOutput, this, &TunnelHandshake::readOutput);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(QStringLiteral("The tunnel program at %1 cannot be started: %2")
                       .arg(m_programPath, m_process->errorString()));
    });
    connect(m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus exitStatus) {
        readOutput();
        if (exitStatus == QProcess::CrashExit)
            finish(QStringLiteral("The tunnel program at %1 crashed during the handshake").arg(m_programPath));
        else
            finish(QStringLiteral("The tunnel program at %1 exited with code %2 without answering the handshake")
                       .arg(m_programPath)
                       .arg(exitCode));
    });
    m_timer->start(m_timeout);
    m_process->start(m_programPath, { QStringLiteral("--handshake") }, QIODevice::ReadOnly);
}

void TunnelHandshake::readOutput()
{
    if (m_done)
        return;
    m_output.append(m_process->readAllStandardOutput());
    const qsizetype end = m_output.indexOf('\n');
    if (end < 0) {
        // A program that prints endlessly without a line break is not ours.
        if (m_output.size() > 4096)
            finish(QStringLiteral("The tunnel program at %1 gave an answer this version does not understand")
                       .arg(m_programPath));
        return;
    }
    std::optional<qint64> protocol;
    try {
        const Json answer = json::parse(m_output.left(end));
        protocol = json::int64At(json::object(answer), "protocol");
    } catch (const DecodingError &) {
    }
    if (!protocol)
        finish(QStringLiteral("The tunnel program at %1 gave an answer this version does not understand")
                   .arg(m_programPath));
    else if (*protocol != ipc::protocolVersion)
        finish(QStringLiteral("The tunnel program at %1 speaks protocol %2, but this version needs protocol %3")
                   .arg(m_programPath)
                   .arg(*protocol)
                   .arg(ipc::protocolVersion));
    else
        finish(std::nullopt);
}

void TunnelHandshake::finish(std::optional<QString> problem)
{
    if (m_done)
        return;
    m_done = true;
    if (m_timer)
        m_timer->stop();
    if (m_process && m_process->state() != QProcess::NotRunning)
        m_process->kill();
    if (problem) {
        logError(*problem);
        Q_EMIT failed(*problem);
    } else {
        Q_EMIT succeeded();
    }
}
