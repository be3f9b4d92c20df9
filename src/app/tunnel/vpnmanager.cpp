#include "app/tunnel/vpnmanager.h"

#include "core/catalogue/errors.h"
#include "core/foundation/log.h"

#include <coroutine>
#include <exception>

QString VPNManager::statusText(VPNStatus status)
{
    switch (status) {
    case VPNStatus::connecting:
        return QStringLiteral("Connecting...");
    case VPNStatus::connected:
        return QStringLiteral("Connected");
    case VPNStatus::reasserting:
        return QStringLiteral("Reconnecting...");
    case VPNStatus::disconnecting:
        return QStringLiteral("Disconnecting...");
    default:
        return QStringLiteral("Not connected");
    }
}

namespace {

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->description();
    return QString::fromLocal8Bit(error.what());
}

// What the tunnel program reads at start: the whole backend document, plus the values it needs
// before it has parsed that document.
ProviderConfiguration providerConfiguration(const ServerSettings &server, const AppSettings &settings)
{
    ProviderConfiguration configuration;
    try {
        configuration.backend
            = QString::fromUtf8(json::serialize(encodeBackendConfiguration(BackendConfiguration { server, settings })));
    } catch (const Error &) {
        // Nothing usable to write; the profile still carries the separate values below.
        configuration.backend.clear();
    }
    configuration.remoteAddress = address(server);
    configuration.isTransparentProxy = settings.network.transparentProxy;
    configuration.isHTTPProxy = settings.network.httpProxy;
    configuration.isSystemProxy = settings.network.systemProxy;
    configuration.httpProxyPort = settings.network.httpProxyPort;
    return configuration;
}

} // namespace

// Shared by the queue and the waiting caller, which is resumed once, with the operation's failure if any.
struct VPNManager::Outcome {
    bool finished = false;
    std::exception_ptr failure;
    std::coroutine_handle<> waiter;

    void finish(std::exception_ptr error)
    {
        if (finished)
            return;
        finished = true;
        failure = std::move(error);
        if (const auto handle = std::exchange(waiter, {}))
            handle.resume();
    }

    // Points at the outcome: the awaiter may be copied on its way to the compiler.
    struct Awaiter {
        Outcome *outcome;

        bool await_ready() const noexcept { return outcome->finished; }
        void await_suspend(std::coroutine_handle<> handle) const noexcept { outcome->waiter = handle; }
        void await_resume() const
        {
            if (outcome->failure)
                std::rethrow_exception(outcome->failure);
        }
    };
};

VPNManager::VPNManager(TunnelPlatform &platform, std::function<AppSettings()> currentSettings, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_currentSettings(std::move(currentSettings))
{
}

void VPNManager::clearLastError()
{
    if (!m_lastError)
        return;
    m_lastError.reset();
    Q_EMIT lastErrorChanged();
}

bool VPNManager::isActive() const
{
    return m_status == VPNStatus::connected || m_status == VPNStatus::connecting || m_status == VPNStatus::reasserting;
}

void VPNManager::setLastError(ErrorPtr error)
{
    m_lastError = std::move(error);
    Q_EMIT lastErrorChanged();
}

void VPNManager::updateStatus(VPNStatus status)
{
    if (status == m_status)
        return;
    logDebug(QStringLiteral("VPN Manager: Status changed: ") + statusText(status));
    m_status = status;
    Q_EMIT statusChanged();
    const bool inProgress
        = status == VPNStatus::connecting || status == VPNStatus::disconnecting || status == VPNStatus::reasserting;
    if (inProgress != m_isInProgress) {
        m_isInProgress = inProgress;
        Q_EMIT isInProgressChanged();
    }
}

void VPNManager::observeConnection()
{
    QObject::disconnect(m_observer);
    m_observer = {};
    TunnelConnection *connection = m_manager ? m_manager->connection() : nullptr;
    if (!connection)
        return;
    updateStatus(connection->status());
    // Queued: the platform may notify on any thread, and the status is read back on ours.
    m_observer = connect(
        connection, &TunnelConnection::statusChanged, this,
        [this, watched = QPointer<TunnelConnection>(connection)] {
            QCoro::connect(handleStatusChange(watched), this, [] {});
        },
        Qt::QueuedConnection);
}

QCoro::Task<> VPNManager::handleStatusChange(QPointer<TunnelConnection> connection)
{
    // A notification queued before the profile was removed or replaced says nothing about ours.
    if (!m_manager || !connection || m_manager->connection() != connection)
        co_return;
    const TunnelProfilePtr manager = m_manager;
    const VPNStatus status = connection->status();
    if (status != VPNStatus::disconnected) {
        updateStatus(status);
        if (status == VPNStatus::connected && m_enableOnDemandOnConnect) {
            m_enableOnDemandOnConnect = false;
            co_await enableOnDemand();
        }
        co_return;
    }

    if (m_reconnect) {
        m_reconnect = false;
        try {
            connection->startVPNTunnel();
        } catch (const Error &) {
            // An automatic reconnect that cannot start just leaves the tunnel disconnected.
        }
    }

    // Still set only when a connect the user asked for never got to connected: tell them why.
    if (m_enableOnDemandOnConnect) {
        m_enableOnDemandOnConnect = false;
        const QPointer<VPNManager> self(this);
        std::optional<PlatformError> error;
        try {
            error = co_await connection->fetchLastDisconnectError();
        } catch (const Error &) {
        }
        if (!self)
            co_return;
        if (error) {
            if (error->domain().endsWith(QLatin1String("TunnelProviderError"))) {
                // The tunnel's own errors carry the text to show; without it the previous reason stands.
                if (const auto text = error->userInfoDescription())
                    setLastError(std::make_shared<TunnelProviderError>(TunnelProviderError::Code::custom, *text));
            } else {
                setLastError(std::make_shared<PlatformError>(*error));
            }
        }
    }
    updateStatus(VPNStatus::disconnected);
}

QCoro::Task<> VPNManager::loadManager()
{
    if (m_manager)
        co_return;
    try {
        const QList<TunnelProfilePtr> managers = co_await m_platform.loadAllFromPreferences();
        logDebug(QStringLiteral("Managers count: ") + QString::number(managers.size()));
        if (!managers.isEmpty()) {
            m_manager = managers.first();
            observeConnection();
        }
        if (const ServerPtr server = m_autoconnect) {
            co_await enableVPN(server);
            m_autoconnect.reset();
        }
    } catch (const std::exception &error) {
        logError(QStringLiteral("Error initializing VPNManager: ") + describe(error));
    }
}

QCoro::Task<> VPNManager::prepareProfile(ServerPtr server)
{
    if (m_isUpdating)
        co_return;
    const AppSettings settings = m_currentSettings();
    if (!m_manager) {
        logDebug(QStringLiteral("VPN Manager: A profile..."));
        const TunnelProfilePtr manager = m_platform.makeProfile();
        co_await updateManagerDetails(manager, server, settings);
        m_manager = manager;
        observeConnection();
    } else {
        co_await updateManagerDetails(m_manager, server, settings);
    }
}

QCoro::Task<> VPNManager::updateManagerDetails(TunnelProfilePtr manager, ServerPtr server, AppSettings settings)
{
    if (m_isUpdating) {
        VPNOperation update = Update { std::move(server), std::move(settings) };
        co_await enqueue(std::move(update));
        co_return;
    }
    logDebug(QStringLiteral("VPN Manager: Updating manager details: ") + server->name());
    const ServerSettings serverSettings = server->settings();
    manager->localizedDescription = server->name();
    manager->isEnabled = true;
    // Built anew each time so nothing of an earlier server survives in the profile.
    TunnelProtocol protocol;
    protocol.disconnectOnSleep = false;
    protocol.serverAddress = addressWithPort(serverSettings);
    protocol.providerConfiguration = providerConfiguration(serverSettings, settings);
    manager->protocolConfiguration = std::move(protocol);
    co_await saveProfile(manager);
}

QCoro::Task<> VPNManager::saveProfile(TunnelProfilePtr manager)
{
    m_isUpdating = true;
    std::exception_ptr failure;
    try {
        logDebug(QStringLiteral("VPN Manager: Saving to preferences..."));
        co_await manager->saveToPreferences();
        logDebug(QStringLiteral("VPN Manager: Loading from preferences..."));
        co_await manager->loadFromPreferences();
    } catch (const std::exception &error) {
        logError(QStringLiteral("VPN Manager: Error saving VPN to preferences: ") + describe(error));
        failure = std::current_exception();
    }
    m_isUpdating = false;
    if (failure) {
        // What was queued was meant to follow this write; applied on top of a failed one it would
        // leave a profile nobody asked for. Its callers learn that their change was not written.
        for (QueuedOperation &dropped : std::exchange(m_opQueue, {}))
            dropped.outcome->finish(failure);
        std::rethrow_exception(failure);
    }
    co_await runNextOperation(manager);
}

QCoro::Task<> VPNManager::enqueue(VPNOperation operation)
{
    const auto outcome = std::make_shared<Outcome>();
    m_opQueue.push_back(QueuedOperation { std::move(operation), outcome });
    co_await Outcome::Awaiter { outcome.get() };
}

QCoro::Task<> VPNManager::runNextOperation(TunnelProfilePtr manager)
{
    if (m_opQueue.empty())
        co_return;
    QueuedOperation next = std::move(m_opQueue.front());
    m_opQueue.pop_front();
    std::exception_ptr failure;
    try {
        // Each of these ends in a save, which runs the next operation in turn.
        if (auto *update = std::get_if<Update>(&next.operation))
            co_await updateManagerDetails(manager, std::move(update->server), std::move(update->settings));
        else if (std::holds_alternative<EnableOnDemand>(next.operation))
            co_await enableOnDemand();
        else
            co_await disableVPN();
    } catch (...) {
        failure = std::current_exception();
    }
    next.outcome->finish(failure);
}

QCoro::Task<> VPNManager::enableOnDemand()
{
    if (m_isUpdating) {
        VPNOperation operation = EnableOnDemand {};
        co_await enqueue(std::move(operation));
        co_return;
    }
    if (!m_manager)
        co_return;
    logDebug(QStringLiteral("VPN Manager: Enabling on-demand..."));
    const TunnelProfilePtr manager = m_manager;
    manager->onDemandRules = { OnDemandConnectRule { 0 } };
    manager->isOnDemandEnabled = true;
    try {
        co_await saveProfile(manager);
    } catch (const std::exception &) {
        // Already logged by the save; the tunnel runs anyway, it only will not come back by itself.
    }
}

QCoro::Task<> VPNManager::enableVPN(ServerPtr server)
{
    co_await prepareProfile(server);
    TunnelConnection *connection = m_manager ? m_manager->connection() : nullptr;
    if (!connection || connection->status() != VPNStatus::disconnected)
        co_return;
    logInfo(QStringLiteral("Starting VPN..."));
    m_enableOnDemandOnConnect = true;
    m_reconnect = false;
    try {
        connection->startVPNTunnel();
    } catch (const Error &error) {
        logError(QStringLiteral("Error starting VPN tunnel: ") + error.description());
        throw;
    }
}

QCoro::Task<> VPNManager::disableVPN()
{
    if (m_isUpdating) {
        VPNOperation operation = DisableVPN {};
        co_await enqueue(std::move(operation));
        co_return;
    }
    if (!m_manager)
        co_return;
    const TunnelProfilePtr manager = m_manager;
    m_enableOnDemandOnConnect = false;
    m_reconnect = false;
    // Saved before the stop, or on-demand would start the tunnel again at once.
    manager->isOnDemandEnabled = false;
    co_await saveProfile(manager);
    logInfo(QStringLiteral("Disabling VPN..."));
    TunnelConnection *connection = manager->connection();
    if (connection && connection->status() != VPNStatus::disconnected)
        connection->stopVPNTunnel();
}

QCoro::Task<> VPNManager::applyToRunningTunnel(ServerPtr server, AppSettings settings, TunnelRequest request)
{
    if (!m_manager)
        co_return;
    const TunnelProfilePtr manager = m_manager;
    TunnelConnection *connection = manager->connection();
    if (connection && connection->status() != VPNStatus::disconnected) {
        const QPointer<VPNManager> self(this);
        const TunnelRequestResult result = co_await doTunnelRequest(std::move(request));
        // The tunnel may take its time; nothing is left to update if we are gone meanwhile.
        if (!self)
            co_return;
        // The tunnel kept what it ran; so does the profile.
        if (const auto *failure = std::get_if<TunnelResults::Failure>(&result))
            throw AppErrors::other(failure->reason);
    }
    co_await updateManagerDetails(manager, std::move(server), std::move(settings));
}

QCoro::Task<> VPNManager::changeServer(ServerPtr server, AppSettings settings)
{
    TunnelRequest request = TunnelRequests::Change { BackendConfiguration { server->settings(), settings } };
    co_await applyToRunningTunnel(std::move(server), std::move(settings), std::move(request));
}

QCoro::Task<> VPNManager::changeNetworkSettings(ServerPtr server, AppSettings settings)
{
    TunnelRequest request = TunnelRequests::ChangeNetworkSettings { settings.network };
    co_await applyToRunningTunnel(std::move(server), std::move(settings), std::move(request));
}

QCoro::Task<> VPNManager::restartTunnel(ServerPtr server, AppSettings settings)
{
    if (!m_manager)
        co_return;
    const TunnelProfilePtr manager = m_manager;
    TunnelConnection *connection = manager->connection();
    // Otherwise the next connect writes the profile anyway.
    if (!connection || connection->status() != VPNStatus::connected)
        co_return;
    co_await updateManagerDetails(manager, std::move(server), std::move(settings));
    // The disconnected status that follows the stop starts the tunnel again with the new profile.
    m_reconnect = true;
    connection->stopVPNTunnel();
}

QCoro::Task<> VPNManager::refresh()
{
    if (m_isUpdating || !m_manager)
        co_return;
    logDebug(QStringLiteral("VPN Manager: Refreshing..."));
    const TunnelProfilePtr manager = m_manager;
    m_isUpdating = true;
    try {
        co_await manager->loadFromPreferences();
    } catch (const std::exception &) {
        // The status below is still worth taking.
    }
    if (TunnelConnection *connection = manager->connection())
        updateStatus(connection->status());
    m_isUpdating = false;
    // Failures go to the callers of the queued operations.
    co_await runNextOperation(manager);
}

QCoro::Task<> VPNManager::resetConfiguration()
{
    if (!m_manager)
        co_return;
    const TunnelProfilePtr manager = m_manager;
    try {
        co_await manager->removeFromPreferences();
    } catch (const std::exception &error) {
        logError(QStringLiteral("Cannot remove from preferences: ") + describe(error));
        throw;
    }
    m_manager.reset();
    observeConnection();
}
