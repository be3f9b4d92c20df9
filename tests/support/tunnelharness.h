#pragma once

#include "core/foundation/jsoncoding.h"
#include "core/tunnel/ipcframe.h"
#include "core/tunnel/tunnelmessages.h"
#include "tunnelprocesses.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <optional>

namespace tunneltest {

// A Shadowsocks server at this address with default settings.
BackendConfiguration backendFor(const QString &address, qint64 port);
// A VLESS server behind REALITY, which only xray speaks.
VLESSSettings realityServer(const QString &address, qint64 port);
// The provider configuration the application writes for this backend, every entry consistent.
Json providerConfiguration(const BackendConfiguration &backend);
QByteArray providerPayload(const BackendConfiguration &backend);

// The unix permission bits of a file, or -1.
int fileMode(const QString &path);

// wrenlow-tunnel --socket <temporary dir>/run/tunnel.sock, stderr forwarded to the test's.
class TunnelProcess {
public:
    TunnelProcess();
    // Ends the program if it still runs.
    ~TunnelProcess();

    // Launches the program; true once it has started. fileLimit > 0 caps its file descriptors.
    bool launch(int fileLimit = 0);
    // How many file descriptors the program holds now; -1 when it does not run.
    int openFiles() const;
    QString socketPath() const { return m_socketPath; }
    // The program's environment: its desktop settings live in a private directory.
    QProcessEnvironment environment() const;
    QString directory() const;
    QString lastErrorPath() const;
    QProcess &process() { return m_process; }
    bool waitForExit(int timeoutMs = 10000);
    // Sends SIGTERM and waits: the exit code, or -1 for a crash or no exit. Under the sanitizers a
    // leak or other finding shows as a non-zero code.
    int terminateAndWait();

private:
    QTemporaryDir m_dir;
    QString m_socketPath;
    QProcess m_process;
};

// One connection to the tunnel that collects every frame it receives.
class TunnelClient : public QObject {
    Q_OBJECT

public:
    explicit TunnelClient(QObject *parent = nullptr);

    // Retries while the program starts.
    bool connectTo(const QString &socketPath, int timeoutMs = 10000);
    quint32 send(ipc::Kind kind, const QByteArray &payload = {});
    void sendRaw(const QByteArray &bytes);
    quint32 sendRequest(const TunnelRequest &request) { return send(ipc::Kind::request, encodeTunnelRequest(request)); }

    // The answer frame with this id (any kind), waiting for it.
    std::optional<ipc::Frame> waitForAnswer(quint32 id, int timeoutMs = 10000);
    // A frame of this kind and id, waiting for it.
    std::optional<ipc::Frame> waitForFrame(ipc::Kind kind, quint32 id, int timeoutMs = 10000);
    // Sends the request and decodes its response.
    std::optional<TunnelRequestResult> ask(const TunnelRequest &request, int timeoutMs = 10000);
    // The status of a status frame's payload.
    static int statusOf(const ipc::Frame &frame);

    bool waitForDisconnected(int timeoutMs = 5000);
    bool isConnected() const { return m_socket.state() == QLocalSocket::ConnectedState; }

    const QList<ipc::Frame> &frames() const { return m_frames; }
    // How many frames answered each id.
    const QHash<quint32, int> &answerCounts() const { return m_answerCounts; }

private:
    void readFrames();

    QLocalSocket m_socket;
    ipc::FrameReader m_reader;
    quint32 m_nextId = 1;
    QList<ipc::Frame> m_frames;
    QHash<quint32, int> m_answerCounts;
};

} // namespace tunneltest
