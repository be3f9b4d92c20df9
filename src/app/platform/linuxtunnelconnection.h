#pragma once

#include "app/platform/profilestore.h"
#include "app/tunnel/tunnelplatform.h"
#include "core/tunnel/ipcframe.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <memory>

class QLocalSocket;

struct TunnelTimings {
    // From launching the program to its answer on the socket.
    std::chrono::milliseconds connectTimeout = std::chrono::seconds(5);
    // From a stop to the tunnel closing the socket; then it is terminated.
    std::chrono::milliseconds stopTimeout = std::chrono::seconds(5);
    // How long the application waits at launch to find out whether a tunnel already runs.
    std::chrono::milliseconds attachTimeout = std::chrono::seconds(2);
    // Connect-on-demand waits this long after the tunnel went away, and starts it at most
    // onDemandTriesPerMinute times in any minute, so a tunnel that dies at once does not spin.
    std::chrono::milliseconds onDemandDelay = std::chrono::seconds(1);
    int onDemandTriesPerMinute = 3;
};

// What every profile of one platform shares: one program and one socket, so one tunnel at a time.
struct TunnelSite {
    QString programPath;
    QString socketPath;
    TunnelTimings timings;
    ProfileStore profiles;
    // The profile whose connection holds the socket; null while none does.
    QUuid activeProfile;
};

// The connection of one profile to the tunnel program over its local socket (docs/tunnel-ipc.md).
class LinuxTunnelConnection final : public TunnelConnection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LinuxTunnelConnection)

public:
    LinuxTunnelConnection(std::shared_ptr<TunnelSite> site, QUuid profileId);
    ~LinuxTunnelConnection() override;

    VPNStatus status() const override { return m_status; }
    void startVPNTunnel() override;
    void stopVPNTunnel() override;
    QCoro::Task<std::optional<PlatformError>> fetchLastDisconnectError() override;
    void sendProviderMessage(const QByteArray &message, ResponseHandler handler) override;

    QUuid profileId() const { return m_profileId; }
    // On-demand as the profile was last saved or loaded.
    void setOnDemandEnabled(bool enabled);
    // Adopts a tunnel that already runs on the socket; completes once that is known.
    QCoro::Task<> attachToRunningTunnel();
    // Starts the tunnel on behalf of connect-on-demand: never against an explicit stop, and
    // failures are only logged.
    void startOnDemand();
    // The process at the other end of the socket, 0 when not connected.
    qint64 tunnelProcessId() const { return m_peerPid; }

Q_SIGNALS:
    // The search for a running tunnel is over; internal to attachToRunningTunnel().
    void attachSettled();

private:
    enum class Phase {
        idle,
        // Opening the socket (retried while a launched program starts), then waiting for helloReply.
        connecting,
        greeting,
        // Start sent or a running tunnel adopted: status, responses and errors flow.
        running,
        stopping,
    };

    void launch();
    void openSocket();
    void socketConnected();
    void socketFailed();
    void readFrames();
    // Returns false when the frame broke the protocol.
    bool handleFrame(const ipc::Frame &frame);
    bool handleHelloReply(const QByteArray &payload);
    void send(ipc::Kind kind, quint32 id, const QByteArray &payload = {});
    void sendStop();
    // The socket is gone or given up; `reason` is kept as the last error when the tunnel gave none.
    void connectionLost(const QString &reason = {});
    void setStatus(VPNStatus status);
    void scheduleOnDemandStart();
    void answer(ResponseHandler &handler, std::optional<QByteArray> response);

    std::shared_ptr<TunnelSite> m_site;
    QUuid m_profileId;
    VPNStatus m_status = VPNStatus::disconnected;
    Phase m_phase = Phase::idle;
    bool m_attaching = false;
    // A start that arrived while the socket was busy with an attach or a stop.
    bool m_startWhenIdle = false;
    // An explicit stop; connect-on-demand leaves the tunnel down until the next start.
    bool m_stopRequested = false;
    bool m_onDemandEnabled = false;

    QLocalSocket *m_socket = nullptr;
    ipc::FrameReader m_reader;
    qint64 m_peerPid = 0;
    quint32 m_nextId = 1;
    quint32 m_helloId = 0;
    ProviderConfiguration m_startConfiguration;
    QHash<quint32, ResponseHandler> m_pending;

    QTimer m_retryTimer;
    // The deadline of the current phase: reaching the program, or its closing after a stop.
    QTimer m_phaseTimer;
    QTimer m_onDemandTimer;
    QElapsedTimer m_clock;
    QList<qint64> m_onDemandStarts;

    std::optional<PlatformError> m_reportedError;
    std::optional<PlatformError> m_localError;
};
