#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>

// The proxy engine as the tunnel's child process. Its configuration, which holds the server's
// secrets, goes through a pipe ("-config stdin:"), never onto the command line. Of its output only
// its own error and fatal lines reach the tunnel's log, without the addresses and host names in
// them: its warnings name the sites the user visits.
//
// For the transparent proxy the program is the interception helper, or pkexec in front of it: the
// helper takes the configuration framed ("<byte count>\n<bytes>") and runs the engine for as long as
// its input stays open; its own failures ("wrenlow-intercept: <what>") and pkexec's exit codes
// become descriptions that say transparent proxying failed and that the HTTP proxy works without it.
struct EngineLaunch {
    QString program;
    QStringList arguments { QStringLiteral("-config"), QStringLiteral("stdin:") };
    // The interception helper, when `program` is it or its launcher; empty for the engine itself.
    QString helper;
    // For the helper: the proxy server's addresses, which its rules never intercept.
    QList<QHostAddress> serverAddresses;
};

class EngineProcess final : public QObject {
    Q_OBJECT

public:
    // Output lines are kept up to this many bytes; the rest of a longer line is skipped.
    static constexpr qsizetype maximumLineLength = 4096;

    explicit EngineProcess(QString program, QObject *parent = nullptr);
    explicit EngineProcess(EngineLaunch launch, QObject *parent = nullptr);
    ~EngineProcess() override;
    Q_DISABLE_COPY_MOVE(EngineProcess)

    // Launches the engine. started() follows once it reports that it runs, or failed() with the
    // engine's own last failure line when it ends first or does not start in time.
    void start(const QByteArray &configuration, std::chrono::milliseconds startTimeout = std::chrono::seconds(10));
    // Through the helper: has it replace the running engine with one for `configuration`, keeping
    // the interception in place (and the user's permission). started() or failed() follows as
    // after start(); a failure ends the helper and with it the interception.
    void replace(const QByteArray &configuration, const QList<QHostAddress> &serverAddresses);
    // Ends the engine and returns once it has exited: the engine listens with SO_REUSEPORT, so a
    // successor must not bind while it still runs.
    void stop();

    bool isRunning() const;
    qint64 processId() const;
    bool throughHelper() const { return !m_launch.helper.isEmpty(); }

Q_SIGNALS:
    void started();
    // `interception`: the reason is the transparent proxy's, whole ("transparent proxying could not
    // start: …"), not the engine's.
    void failed(const QString &reason, bool interception);
    // The running engine ended without being asked to: "the engine was killed" after a signal,
    // otherwise its last failure line or its exit code; or the helper's reason.
    void exited(const QString &reason);

private:
    void readOutput();
    // Looks at the line gathered so far and starts the next one.
    void takeLine();
    void handleFinished(int exitCode, QProcess::ExitStatus status);
    QString reason(int exitCode, QProcess::ExitStatus status) const;
    // Why the helper, or pkexec before it, ended; empty when the engine's own reason holds.
    QString interceptionReason(int exitCode, QProcess::ExitStatus status) const;
    void fail(const QString &reason, bool interception);
    void armStartTimer();
    // The framed configuration the helper reads.
    static QByteArray frame(const QByteArray &configuration, const QList<QHostAddress> &serverAddresses);

    EngineLaunch m_launch;
    QProcess *m_process = nullptr;
    // The line being read, at most maximumLineLength bytes; the rest of a longer one is skipped.
    QByteArray m_line;
    bool m_skippingLine = false;
    // The engine's last failure line, without destinations; a fatal one outranks later errors.
    QString m_failure;
    bool m_failureIsFatal = false;
    std::chrono::milliseconds m_startTimeout { 0 };
    // Counts starts and replacements: a start timer for an earlier one does nothing.
    quint64 m_attempt = 0;
    // The helper's own last failure line, without its prefix.
    QString m_helperFailure;
    // The engine's process when the helper runs it.
    qint64 m_enginePid = 0;
    bool m_reportedStart = false;
    bool m_stopping = false;
};
