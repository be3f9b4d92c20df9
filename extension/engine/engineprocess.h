#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>

#include <chrono>

// The proxy engine as the tunnel's child process. Its configuration, which holds the server's
// secrets, goes through a pipe ("-config stdin:"), never onto the command line; its output goes
// to the tunnel's log.
class EngineProcess final : public QObject {
    Q_OBJECT

public:
    explicit EngineProcess(QString program, QObject *parent = nullptr);
    ~EngineProcess() override;
    Q_DISABLE_COPY_MOVE(EngineProcess)

    // Launches the engine. started() follows once it reports that it runs, or failed() with the
    // engine's own last error line when it ends first or does not start in time.
    void start(const QByteArray &configuration, std::chrono::milliseconds startTimeout = std::chrono::seconds(10));
    // Ends the engine and returns once it has exited: the engine listens with SO_REUSEPORT, so a
    // successor must not bind while it still runs.
    void stop();

    bool isRunning() const;
    qint64 processId() const;

Q_SIGNALS:
    void started();
    void failed(const QString &reason);
    // The running engine ended without being asked to; the reason is its last error line.
    void exited(const QString &reason);

private:
    void readOutput();
    void handleFinished(int exitCode, QProcess::ExitStatus status);
    QString reason(int exitCode, QProcess::ExitStatus status) const;

    QString m_program;
    QProcess *m_process = nullptr;
    QByteArray m_pending;
    QString m_lastErrorLine;
    bool m_reportedStart = false;
    bool m_stopping = false;
};
