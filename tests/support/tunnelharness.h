#pragma once

#include "core/foundation/jsoncoding.h"
#include "core/tunnel/ipcframe.h"
#include "core/tunnel/tunnelmessages.h"
#include "tunnelprocesses.h"

#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <optional>

namespace tunneltest {

// A Shadowsocks server at this address with default settings.
BackendConfiguration backendFor(const QString &address, qint64 port);
// A VLESS server behind REALITY, which only xray speaks.
VLESSSettings realityServer(const QString &address, qint64 port);
// The provider configuration the application writes for this backend, every entry consistent.
Json providerConfiguration(const BackendConfiguration &backend);
inline QByteArray providerPayload(const BackendConfiguration &backend)
{
    return json::serialize(providerConfiguration(backend));
}
inline const QByteArray hello = R"({"protocol":1})";
// The desktop's proxy mode as gsettings reports it in this environment; sets it first when asked to.
QString proxyMode(const QProcessEnvironment &environment, const QString &set = {});

// wrenlow-tunnel --socket <temporary dir>/run/tunnel.sock, stderr forwarded to the test's; its
// desktop settings live in a private directory. Ended with its owner.
class TunnelProcess {
public:
    TunnelProcess();
    ~TunnelProcess();

    // fileLimit > 0 caps the program's file descriptors.
    bool launch(int fileLimit = 0);
    // How many file descriptors the program holds now; -1 when it does not run.
    int openFiles() const;
    QString socketPath() const { return m_socketPath; }
    QProcessEnvironment environment() const;
    QString directory() const { return m_dir.filePath(QStringLiteral("run")); }
    QString lastErrorPath() const { return m_dir.filePath(QStringLiteral("run/last-error.json")); }
    QProcess &process() { return m_process; }
    // The exit code once it has ended, -1 for a crash or no exit within ten seconds.
    int exitCode();
    // Sends SIGTERM and waits; under the sanitizers a finding shows as a non-zero code.
    int terminateAndWait();

private:
    QTemporaryDir m_dir;
    QString m_socketPath;
    QProcess m_process;
};

// One connection to the tunnel that collects every frame it receives.
class TunnelClient {
public:
    // Retries while the program starts.
    bool connectTo(const QString &socketPath);
    quint32 send(ipc::Kind kind, const QByteArray &payload = {});
    void sendRaw(const QByteArray &bytes) { m_socket.write(bytes), m_socket.flush(); }
    quint32 sendRequest(const TunnelRequest &request) { return send(ipc::Kind::request, encodeTunnelRequest(request)); }

    // The first frame with this id, of this kind if one is given, waiting for it.
    std::optional<ipc::Frame> waitFor(quint32 id, std::optional<ipc::Kind> kind = {});
    std::optional<ipc::Frame> hello() { return waitFor(send(ipc::Kind::hello, tunneltest::hello)); }
    // The status the tunnel answers a start with, -1 for none.
    int start(const QByteArray &payload) { return statusOf(waitFor(send(ipc::Kind::start, payload))); }
    // Sends the request and decodes its response.
    std::optional<TunnelRequestResult> ask(const TunnelRequest &request);
    // The status of a status frame's payload, -1 for none.
    static int statusOf(const std::optional<ipc::Frame> &frame);

    bool waitForDisconnected();
    const QList<ipc::Frame> &frames() { return readFrames(), m_frames; }

private:
    const QList<ipc::Frame> &readFrames();

    QLocalSocket m_socket;
    ipc::FrameReader m_reader;
    quint32 m_nextId = 1;
    QList<ipc::Frame> m_frames;
};

} // namespace tunneltest
