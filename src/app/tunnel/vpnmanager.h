#pragma once

#include "app/catalogue/statuschecks.h"
#include "app/tunnel/tunnelplatform.h"
#include "core/catalogue/server.h"
#include "core/foundation/error.h"
#include "core/settings/appsettings.h"
#include "core/tunnel/tunnelmessages.h"

#include <QCoroTask>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

using ErrorPtr = std::shared_ptr<const Error>;

// The one object through which the program controls the tunnel: it owns the saved tunnel profile,
// writes the selected server and the settings into it, starts and stops the tunnel, talks to the
// running tunnel and publishes the connection status. Everything runs on the main thread; the
// object lives as long as the program, so its operations may outlive any caller.
class VPNManager final : public QObject, public StatusProbe {
    Q_OBJECT
    Q_PROPERTY(bool isInProgress READ isInProgress NOTIFY isInProgressChanged)
    Q_PROPERTY(VPNStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(ErrorPtr lastError READ lastError NOTIFY lastErrorChanged)

public:
    // The status as the main window and the log name it.
    static QString statusText(VPNStatus status);

    // currentSettings returns the settings the application holds at the moment of the call.
    VPNManager(TunnelPlatform &platform, std::function<AppSettings()> currentSettings, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(VPNManager)

    bool isInProgress() const { return m_isInProgress; }
    VPNStatus status() const { return m_status; }
    // Why the last connect ended without reaching connected.
    ErrorPtr lastError() const { return m_lastError; }
    // The main window has shown the error.
    void clearLastError();

    // Connected, connecting or reasserting.
    bool isActive() const;

    // Connected to as soon as the saved profiles have been loaded.
    ServerPtr autoconnect() const { return m_autoconnect; }
    void setAutoconnect(ServerPtr server) { m_autoconnect = std::move(server); }

    // A profile write is in flight; further writes wait in the queue, and their callers with them.
    bool isUpdating() const { return m_isUpdating; }

    // How long a request to the running tunnel may take before it is given up.
    std::chrono::milliseconds requestTimeout() const { return m_requestTimeout; }
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }

    // Profile and connection. Errors are the platform's, or AppErrors::other with the tunnel's reason.
    QCoro::Task<> loadManager();
    QCoro::Task<> prepareProfile(ServerPtr server) override;
    QCoro::Task<> enableVPN(ServerPtr server);
    QCoro::Task<> disableVPN();
    QCoro::Task<> changeServer(ServerPtr server, AppSettings settings);
    QCoro::Task<> changeNetworkSettings(ServerPtr server, AppSettings settings);
    QCoro::Task<> restartTunnel(ServerPtr server, AppSettings settings);
    QCoro::Task<> refresh();
    QCoro::Task<> resetConfiguration();

    // Requests to the running tunnel. Only fetchSubscription throws.
    QCoro::Task<TunnelRequestResult> doTunnelRequest(TunnelRequest request);
    QCoro::Task<QByteArray> fetchSubscription(QUrl url);
    // fetchSubscription while a tunnel is active; nothing otherwise.
    QCoro::Task<std::optional<QByteArray>> fetchThroughActiveTunnel(QUrl url);
    QCoro::Task<std::optional<GraphData>> getGraphData();
    QCoro::Task<OnlineStatus> checkCurrentStatus() override;
    QCoro::Task<OnlineStatus> checkStatus(ServerPtr server) override;
    // The status stays invalid until a profile has been loaded or made.
    bool hasProfile() const override { return m_status != VPNStatus::invalid; }

Q_SIGNALS:
    void isInProgressChanged();
    void statusChanged();
    void lastErrorChanged();

private:
    // Profile writes that arrived while a save was in flight.
    struct Update {
        ServerPtr server;
        AppSettings settings;
    };
    struct EnableOnDemand { };
    struct DisableVPN { };
    using VPNOperation = std::variant<Update, EnableOnDemand, DisableVPN>;
    // How a queued operation ended, awaited by the caller that queued it.
    struct Outcome;
    struct QueuedOperation {
        VPNOperation operation;
        std::shared_ptr<Outcome> outcome;
    };

    QCoro::Task<> updateManagerDetails(TunnelProfilePtr manager, ServerPtr server, AppSettings settings);
    QCoro::Task<> saveProfile(TunnelProfilePtr manager);
    // Runs the oldest queued operation and hands its failure to the caller that queued it.
    QCoro::Task<> runNextOperation(TunnelProfilePtr manager);
    // Queues the operation and returns once it has run: its failure is thrown here, to the caller
    // whose change it was, not to whoever's save happened to run it.
    QCoro::Task<> enqueue(VPNOperation operation);
    QCoro::Task<> enableOnDemand();
    QCoro::Task<> applyToRunningTunnel(ServerPtr server, AppSettings settings, TunnelRequest request);
    void observeConnection();
    QCoro::Task<> handleStatusChange(QPointer<TunnelConnection> connection);
    void updateStatus(VPNStatus status);
    void setLastError(ErrorPtr error);

    TunnelPlatform &m_platform;
    std::function<AppSettings()> m_currentSettings;

    bool m_isInProgress = false;
    VPNStatus m_status = VPNStatus::invalid;
    ErrorPtr m_lastError;
    QMetaObject::Connection m_observer;
    bool m_isUpdating = false;
    std::deque<QueuedOperation> m_opQueue;
    bool m_reconnect = false;
    ServerPtr m_autoconnect;
    bool m_enableOnDemandOnConnect = false;
    TunnelProfilePtr m_manager;
    std::chrono::milliseconds m_requestTimeout = std::chrono::seconds(30);
};
