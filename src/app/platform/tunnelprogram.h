#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

class QProcess;
class QTimer;

// Where the tunnel program lives and how the application checks that it can talk to it.

// Where the tunnel program of the application in applicationDir is: installed, in the program
// directory under libexec (WRENLOW_TUNNEL_DIR, relative to the application's); in the build tree,
// beside the application. When neither exists, the installed place, which is where it belongs.
QString tunnelProgramPath(const QString &applicationDir);
// The one for this process.
QString defaultTunnelProgramPath();
// tunnel.sock in the program's runtime directory.
QString defaultTunnelSocketPath();
// last-error.json beside the socket, where the tunnel leaves the reason it stopped.
QString lastErrorPathFor(const QString &socketPath);

// What the transparent proxy still needs on this machine, for the user; empty when nothing: the
// interception helper beside the tunnel program, and pkexec to ask for permission (unless the
// program runs as root).
QString transparentProxyRequirement(const QString &tunnelProgramPath);

enum class ProgramProblem { missing, notExecutable };
std::optional<ProgramProblem> tunnelProgramProblem(const QString &programPath);

// Runs `<program> --handshake` once and reports whether it answers with our protocol in time.
// Emits exactly one of succeeded() or failed(), always after start() has returned, then may be
// deleted. Deleting it earlier kills the program.
class TunnelHandshake final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelHandshake)

public:
    TunnelHandshake(QString programPath, std::chrono::milliseconds timeout, QObject *parent = nullptr);
    ~TunnelHandshake() override;

    void start();

Q_SIGNALS:
    void succeeded();
    void failed(const QString &description);

private:
    void readOutput();
    void finish(std::optional<QString> problem);

    QString m_programPath;
    std::chrono::milliseconds m_timeout;
    QProcess *m_process = nullptr;
    QTimer *m_timer = nullptr;
    QByteArray m_output;
    bool m_done = false;
};
