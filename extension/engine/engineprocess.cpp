#include "engine/engineprocess.h"

#include "core/foundation/log.h"

#include <QTimer>

#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

// What the engine prints once its inbounds and outbounds are up.
bool announcesStart(const QString &line)
{
    return line.contains(QStringLiteral(" started"));
}

bool isErrorLine(const QString &line)
{
    return line.contains(QStringLiteral("[Error]")) || line.contains(QStringLiteral("failed"))
        || line.startsWith(QStringLiteral("panic:"));
}

} // namespace

EngineProcess::EngineProcess(QString program, QObject *parent)
    : QObject(parent)
    , m_program(std::move(program))
{
}

EngineProcess::~EngineProcess()
{
    stop();
}

void EngineProcess::start(const QByteArray &configuration, std::chrono::milliseconds startTimeout)
{
    stop();
    m_pending.clear();
    m_lastErrorLine.clear();
    m_reportedStart = false;
    m_stopping = false;

    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &EngineProcess::readOutput);
    connect(m_process, &QProcess::finished, this, &EngineProcess::handleFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && !m_reportedStart) {
            m_reportedStart = true;
            Q_EMIT failed(
                QStringLiteral("the engine %1 could not be started: %2").arg(m_program, m_process->errorString()));
        }
    });
    // The engine must not outlive a tunnel that is killed: it would hold the user's proxy port
    // and keep moving traffic nobody controls.
    const pid_t tunnel = ::getpid();
    m_process->setChildProcessModifier([tunnel] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != tunnel)
            ::_exit(1);
    });
    m_process->start(m_program, { QStringLiteral("-config"), QStringLiteral("stdin:") });
    m_process->write(configuration);
    m_process->closeWriteChannel();

    QTimer::singleShot(startTimeout, m_process, [this] {
        if (m_reportedStart)
            return;
        m_reportedStart = true;
        const QString why
            = m_lastErrorLine.isEmpty() ? QStringLiteral("the engine did not start in time") : m_lastErrorLine;
        stop();
        Q_EMIT failed(why);
    });
}

void EngineProcess::stop()
{
    if (!m_process)
        return;
    QProcess *process = m_process;
    m_process = nullptr;
    m_stopping = true;
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(2000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
    process->deleteLater();
}

bool EngineProcess::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

qint64 EngineProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

void EngineProcess::readOutput()
{
    m_pending.append(m_process->readAllStandardOutput());
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.first(end)).trimmed();
        m_pending.remove(0, end + 1);
        if (line.isEmpty())
            continue;
        logInfo(QStringLiteral("Engine: ") + line);
        if (isErrorLine(line))
            m_lastErrorLine = line;
        if (!m_reportedStart && announcesStart(line)) {
            m_reportedStart = true;
            Q_EMIT started();
        }
    }
}

QString EngineProcess::reason(int exitCode, QProcess::ExitStatus status) const
{
    if (!m_lastErrorLine.isEmpty())
        return m_lastErrorLine;
    if (status == QProcess::CrashExit)
        return QStringLiteral("the engine was killed");
    return QStringLiteral("the engine exited with code %1").arg(exitCode);
}

void EngineProcess::handleFinished(int exitCode, QProcess::ExitStatus status)
{
    readOutput();
    const QString why = reason(exitCode, status);
    m_process->deleteLater();
    m_process = nullptr;
    if (m_stopping)
        return;
    if (!m_reportedStart) {
        m_reportedStart = true;
        Q_EMIT failed(why);
    } else {
        Q_EMIT exited(why);
    }
}
