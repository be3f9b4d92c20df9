#pragma once

#include "core/tunnel/ipcframe.h"
#include "core/tunnel/vpnstatus.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <unordered_map>

class QLocalServer;
class QLocalSocket;
class TunnelProviderError;
class TunnelService;

// The socket side of the tunnel (docs/tunnel-ipc.md): accepts the application's connections, reads
// their frames, hands starts and requests to the service, answers each request on the connection
// it came from, and decides when the program ends. A connection that breaks the protocol is
// closed alone; nothing a client sends ends the tunnel except stop or a first start it cannot run.
class TunnelServer final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultOrphanTimeout = std::chrono::seconds(30);

    // The service is not owned. Without a start within orphanTimeout, the tunnel ends as soon as
    // nobody is connected.
    TunnelServer(QString socketPath, TunnelService *service, QObject *parent = nullptr,
        std::chrono::milliseconds orphanTimeout = defaultOrphanTimeout);
    ~TunnelServer() override;

    // Creates the socket's directory (0700) and listens, taking over a stale socket file but never
    // one a live tunnel answers on. Logs, and returns false, when it cannot.
    bool listen();

    VPNStatus status() const { return m_status; }
    QString lastErrorPath() const { return m_lastErrorPath; }
    int clientCount() const { return int(m_clients.size()); }

public Q_SLOTS:
    // SIGTERM, SIGINT or SIGHUP: tells the clients the tunnel is disconnecting and finishes with 0.
    void terminate();

Q_SIGNALS:
    // Emitted once, from the event loop, when the program should exit with this code.
    void finished(int exitCode);

private:
    void acceptConnections();
    void readFrom(QLocalSocket *socket);
    // The peer went away: forget it.
    void dropClient(QLocalSocket *socket);
    // The peer broke the protocol: forget it and close the connection once what it was sent is out.
    void closeClient(QLocalSocket *socket);
    // False when the frame broke the protocol and the connection must close.
    bool handleFrame(QLocalSocket *socket, const ipc::Frame &frame);
    void handleHello(QLocalSocket *socket, const ipc::Frame &frame);
    void handleStart(QLocalSocket *socket, const ipc::Frame &frame);
    void handleStop(QLocalSocket *socket, const ipc::Frame &frame);
    void handleRequest(QLocalSocket *socket, const ipc::Frame &frame);
    void failTunnel(QLocalSocket *socket, quint32 id, const TunnelProviderError &error);

    void send(QLocalSocket *socket, ipc::Kind kind, quint32 id, const QByteArray &payload);
    // Answers the asking connection with its id and tells every other one with id 0.
    void announceStatus(VPNStatus status, QLocalSocket *asking, quint32 id);
    void checkOrphan();
    // Flushes and closes every connection, closes the server and removes the socket file.
    void finish(int exitCode);

    const QString m_socketPath;
    const QString m_lastErrorPath;
    TunnelService *const m_service;
    QLocalServer *m_server = nullptr;
    std::unordered_map<QLocalSocket *, ipc::FrameReader> m_clients;
    VPNStatus m_status = VPNStatus::connecting;
    bool m_started = false;
    bool m_orphanTimeoutPassed = false;
    bool m_finishing = false;
    QTimer m_orphanTimer;
};
