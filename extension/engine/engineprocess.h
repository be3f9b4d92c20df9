#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>

#include <chrono>

// The proxy engine as the tunnel's child process. Its configuration, which holds the server's
// secrets, goes through a pipe ("-config stdin:"), never onto the command line. Of its output only
// its own error and fatal lines reach the tunnel's log, without the addresses and host names in
// them: its warnings name the sites the user visits.
class EngineProcess final : public QObject {
    Q_OBJECT

public:
    // Output lines are kept up to this many bytes; the rest of a longer line is skipped.
    static constexpr qsizetype maximumLineLength = 4096;

    explicit EngineProcess(QString program, QObject *parent = nullptr);
    ~EngineProcess() override;
    Q_DISABLE_COPY_MOVE(EngineProcess)

    // Launches the engine. started() follows once it reports that it runs, or failed() with the
    // engine's own last failure line when it ends first or does not start in time.
    void start(const QByteArray &configuration, std::chrono::milliseconds startTimeout = std::chrono::seconds(10));
    // Ends the engine and returns once it has exited: the engine listens with SO_REUSEPORT, so a
    // successor must not bind while it still runs.
    void stop();

    bool isRunning() const;
    qint64 processId() const;

Q_SIGNALS:
    void started();
    void failed(const QString &reason);
    // The running engine ended without being asked to: "the engine was killed" after a signal,
    // otherwise its last failure line or its exit code.
    void exited(const QString &reason);

private:
    void readOutput();
    // Looks at the line gathered so far and starts the next one.
    void takeLine();
    void handleFinished(int exitCode, QProcess::ExitStatus status);
    QString reason(int exitCode, QProcess::ExitStatus status) const;

    QString m_program;
    QProcess *m_process = nullptr;
    // The line being read, at most maximumLineLength bytes; the rest of a longer one is skipped.
    QByteArray m_line;
    bool m_skippingLine = false;
    // The engine's last failure line, without destinations; a fatal one outranks later errors.
    QString m_failure;
    bool m_failureIsFatal = false;
    bool m_reportedStart = false;
    bool m_stopping = false;
};
