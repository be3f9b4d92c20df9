#include "engine/engineprocess.h"

#include "core/foundation/log.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTimer>

#include <optional>

#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace Qt::StringLiterals;

// What the engine prints once its inbounds and outbounds are up.
bool announcesStart(const QString &line)
{
    return line.contains(QStringLiteral(" started"));
}

// One of the engine's own failures, read from a line of its output.
struct Failure {
    QString text;
    // Printed as the engine gives up (a configuration it cannot load, an inbound that cannot
    // listen, a Go panic), not while it runs.
    bool fatal = false;
};

// Its log lines are "<date> <time> [<Level>] [<session>] <package>: <message>". Only [Error] lines
// and what it prints as it dies count: warnings also say "failed" about each site the user cannot
// reach, and are no reason for anything.
std::optional<Failure> failureIn(QString line)
{
    static const QRegularExpression timestamp(uR"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d(\.\d+)? )"_s);
    static const QRegularExpression errorTag(uR"(^\[Error\] (\[\d+\] )?)"_s);
    line.remove(timestamp);
    if (const QRegularExpressionMatch tag = errorTag.match(line); tag.hasMatch())
        return Failure { line.mid(tag.capturedLength()), false };
    for (const QLatin1StringView start : { "panic: "_L1, "fatal error: "_L1, "Failed to start"_L1, "main: "_L1 }) {
        if (line.startsWith(start))
            return Failure { line, true };
    }
    return std::nullopt;
}

// The text without what could name a place the user went to: URLs, IP addresses (with their
// ports) and host names. Package paths ("v2ray.com/core/...") stay.
QString withoutDestinations(QString text)
{
    static const QRegularExpression url(uR"([A-Za-z][A-Za-z0-9+.-]*://\S+)"_s);
    static const QRegularExpression bracketed(uR"(\[[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*\](:\d+)?)"_s);
    static const QRegularExpression ipv6(uR"((?<![\w:.])[0-9A-Fa-f]*:[0-9A-Fa-f:.]*:[0-9A-Fa-f.]*(?![\w:.]))"_s);
    static const QRegularExpression ipv4(uR"((?<![\w.])\d{1,3}(\.\d{1,3}){3}(:\d+)?(?![\w.]))"_s);
    static const QRegularExpression host(
        uR"((?<![\w./-])([A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?\.)+[A-Za-z][A-Za-z0-9-]*[A-Za-z0-9](:\d+)?(?![\w/.-]))"_s);
    text.replace(url, u"<url>"_s);
    text.replace(bracketed, u"<address>"_s);
    // Only what really is an IPv6 address: times of day look alike.
    QString kept;
    qsizetype from = 0;
    for (const QRegularExpressionMatch &match : ipv6.globalMatch(text)) {
        if (QHostAddress(match.captured()).protocol() != QHostAddress::IPv6Protocol)
            continue;
        kept += QStringView(text).sliced(from, match.capturedStart() - from) + u"<address>"_s;
        from = match.capturedEnd();
    }
    text = kept + QStringView(text).sliced(from);
    text.replace(ipv4, u"<address>"_s);
    text.replace(host, u"<host>"_s);
    return text;
}

constexpr QLatin1StringView helperPrefix = "wrenlow-intercept: "_L1;
constexpr QLatin1StringView helperEnginePid = "wrenlow-intercept engine process "_L1;

QString couldNotStart(const QString &what)
{
    return u"transparent proxying could not start: "_s + what + u"; the HTTP proxy works without it"_s;
}

} // namespace

EngineProcess::EngineProcess(QString program, QObject *parent)
    : EngineProcess(
        EngineLaunch { std::move(program), { QStringLiteral("-config"), QStringLiteral("stdin:") }, {}, {} }, parent)
{
}

EngineProcess::EngineProcess(EngineLaunch launch, QObject *parent)
    : QObject(parent)
    , m_launch(std::move(launch))
{
}

EngineProcess::~EngineProcess()
{
    stop();
}

void EngineProcess::start(const QByteArray &configuration, std::chrono::milliseconds startTimeout)
{
    stop();
    m_line.clear();
    m_skippingLine = false;
    m_failure.clear();
    m_failureIsFatal = false;
    m_reportedStart = false;
    m_stopping = false;

    m_helperFailure.clear();
    m_enginePid = 0;
    ++m_attempt;

    if (throughHelper() && !QFileInfo(m_launch.helper).isExecutable()) {
        // Told after the caller has connected, as every other outcome.
        QTimer::singleShot(0, this,
            [this, helper = m_launch.helper] { fail(couldNotStart(u"its helper %1 is missing"_s.arg(helper)), true); });
        return;
    }
    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &EngineProcess::readOutput);
    connect(m_process, &QProcess::finished, this, &EngineProcess::handleFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || m_reportedStart)
            return;
        if (!throughHelper()) {
            fail(u"the engine %1 could not be started: %2"_s.arg(m_launch.program, m_process->errorString()), false);
        } else if (m_launch.program != m_launch.helper) {
            fail(couldNotStart(u"%1 is not installed, so it cannot ask for permission"_s.arg(m_launch.program)), true);
        } else {
            fail(couldNotStart(
                     u"its helper %1 could not be started: %2"_s.arg(m_launch.program, m_process->errorString())),
                true);
        }
    });
    // The engine must not outlive a tunnel that is killed: it would hold the user's proxy port
    // and keep moving traffic nobody controls. (pkexec drops this; the helper ends with its input.)
    const pid_t tunnel = ::getpid();
    m_process->setChildProcessModifier([tunnel] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != tunnel)
            ::_exit(1);
    });
    m_process->start(m_launch.program, m_launch.arguments);
    if (throughHelper()) {
        // Its input stays open: closing it tells the helper to end everything.
        m_process->write(frame(configuration, m_launch.serverAddresses));
    } else {
        m_process->write(configuration);
        m_process->closeWriteChannel();
    }

    m_startTimeout = startTimeout;
    // Through the helper, the time starts once the helper runs the engine: asking the user for
    // permission takes as long as the user takes.
    if (!throughHelper())
        armStartTimer();
}

void EngineProcess::replace(const QByteArray &configuration, const QList<QHostAddress> &serverAddresses)
{
    if (!throughHelper() || !isRunning())
        return;
    m_line.clear();
    m_skippingLine = false;
    m_failure.clear();
    m_failureIsFatal = false;
    m_helperFailure.clear();
    m_reportedStart = false;
    ++m_attempt;
    m_process->write(frame(configuration, serverAddresses));
}

QByteArray EngineProcess::frame(const QByteArray &configuration, const QList<QHostAddress> &serverAddresses)
{
    QByteArray header = QByteArray::number(configuration.size());
    for (const QHostAddress &address : serverAddresses)
        header += ' ' + address.toString().toLatin1();
    return header + '\n' + configuration;
}

void EngineProcess::armStartTimer()
{
    QTimer::singleShot(m_startTimeout, m_process, [this, attempt = m_attempt] {
        if (m_reportedStart || attempt != m_attempt)
            return;
        const bool interception = !m_helperFailure.isEmpty();
        const QString why = interception ? couldNotStart(m_helperFailure)
            : m_failure.isEmpty()        ? QStringLiteral("the engine did not start in time")
                                         : m_failure;
        stop();
        fail(why, interception);
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
    if (process->state() != QProcess::NotRunning && throughHelper()) {
        // The helper runs as root: it is asked through its input, the only way the tunnel can.
        process->closeWriteChannel();
        process->waitForFinished(5000);
    }
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
    if (!m_process)
        return 0;
    return m_enginePid != 0 ? m_enginePid : m_process->processId();
}

void EngineProcess::readOutput()
{
    const QByteArray output = m_process->readAllStandardOutput();
    QByteArrayView rest(output);
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf('\n');
        const QByteArrayView piece = end < 0 ? rest : rest.first(end);
        if (!m_skippingLine) {
            const qsizetype room = maximumLineLength - m_line.size();
            m_line.append(piece.first(std::min(room, piece.size())));
            // No message of the engine's is this long; what it starts with is looked at, and the
            // rest is not gathered.
            if (piece.size() > room) {
                takeLine();
                m_skippingLine = true;
            }
        }
        if (end < 0)
            return;
        if (!m_skippingLine)
            takeLine();
        m_skippingLine = false;
        rest = rest.sliced(end + 1);
    }
}

void EngineProcess::takeLine()
{
    const QString line = QString::fromUtf8(std::exchange(m_line, {})).trimmed();
    if (line.isEmpty())
        return;
    if (throughHelper() && line.startsWith(helperEnginePid)) {
        m_enginePid = line.sliced(helperEnginePid.size()).toLongLong();
        if (!m_reportedStart)
            armStartTimer();
        return;
    }
    if (throughHelper() && line.startsWith(helperPrefix)) {
        m_helperFailure = withoutDestinations(line.sliced(helperPrefix.size()));
        logError(u"Interception: "_s + m_helperFailure);
        return;
    }
    if (const std::optional<Failure> failure = failureIn(line)) {
        const QString text = withoutDestinations(failure->text);
        logError(QStringLiteral("Engine: ") + text);
        if (failure->fatal || !m_failureIsFatal) {
            m_failure = text;
            m_failureIsFatal = failure->fatal;
        }
    }
    if (!m_reportedStart && announcesStart(line)) {
        m_reportedStart = true;
        Q_EMIT started();
    }
}

QString EngineProcess::interceptionReason(int exitCode, QProcess::ExitStatus status) const
{
    if (!throughHelper())
        return {};
    const bool running = m_reportedStart;
    if (status == QProcess::CrashExit)
        return running ? u"transparent proxying stopped: its helper was killed"_s
                       : couldNotStart(u"its helper was killed"_s);
    if (!m_helperFailure.isEmpty())
        return running ? u"transparent proxying stopped: "_s + m_helperFailure : couldNotStart(m_helperFailure);
    // pkexec's own: 126 when the user dismissed the dialog, 127 when permission was not given.
    if (!running && m_launch.program != m_launch.helper && m_failure.isEmpty()) {
        if (exitCode == 126)
            return couldNotStart(u"the request for permission was dismissed"_s);
        if (exitCode == 127)
            return couldNotStart(u"permission was refused, or no authentication agent could ask for it"_s);
    }
    return {};
}

QString EngineProcess::reason(int exitCode, QProcess::ExitStatus status) const
{
    // Whatever it said before, a signal is what ended it; through the helper, 128 + the signal.
    if (status == QProcess::CrashExit || (throughHelper() && exitCode > 128))
        return QStringLiteral("the engine was killed");
    if (!m_failure.isEmpty())
        return m_failure;
    return QStringLiteral("the engine exited with code %1").arg(exitCode);
}

void EngineProcess::handleFinished(int exitCode, QProcess::ExitStatus status)
{
    readOutput();
    // Its last words need not end with a line break.
    if (!m_skippingLine)
        takeLine();
    const QString helperWhy = interceptionReason(exitCode, status);
    const QString why = helperWhy.isEmpty() ? reason(exitCode, status) : helperWhy;
    m_process->deleteLater();
    m_process = nullptr;
    if (m_stopping)
        return;
    if (!m_reportedStart)
        fail(why, !helperWhy.isEmpty());
    else
        Q_EMIT exited(why);
}

void EngineProcess::fail(const QString &reason, bool interception)
{
    if (m_reportedStart)
        return;
    m_reportedStart = true;
    if (m_process && m_process->state() == QProcess::NotRunning) {
        m_process->deleteLater();
        m_process = nullptr;
    }
    Q_EMIT failed(reason, interception);
}
