#include "app/platform/linuxtunnelplatform.h"

#include "app/platform/linuxtunnelprofile.h"

LinuxTunnelPlatform::LinuxTunnelPlatform(
    DefaultsStore &store, QString programPath, QString socketPath, TunnelTimings timings)
    : m_site(std::make_shared<TunnelSite>(
        TunnelSite { std::move(programPath), std::move(socketPath), timings, ProfileStore(store), {} }))
{
}

LinuxTunnelPlatform::~LinuxTunnelPlatform() = default;

std::shared_ptr<LinuxTunnelConnection> LinuxTunnelPlatform::connectionFor(const QUuid &id)
{
    auto &connection = m_connections[id];
    if (!connection)
        connection = std::make_shared<LinuxTunnelConnection>(m_site, id);
    return connection;
}

QCoro::Task<QList<TunnelProfilePtr>> LinuxTunnelPlatform::loadAllFromPreferences()
{
    const QList<StoredProfile> stored = m_site->profiles.loadAll();
    QList<TunnelProfilePtr> profiles;
    for (const auto &entry : stored) {
        auto connection = connectionFor(entry.id);
        connection->setOnDemandEnabled(entry.isOnDemandEnabled);
        auto profile = std::make_shared<LinuxTunnelProfile>(m_site, std::move(connection));
        profile->assign(entry);
        profiles.append(std::move(profile));
    }

    // At launch the tunnel may still run from an earlier session: it belongs to the first profile,
    // the only one the application uses, and there is one socket, so one tunnel, per user.
    if (!std::exchange(m_launchChecked, true) && !stored.isEmpty()) {
        // Held here so the connection outlives the wait even if the platform does not.
        const auto connection = connectionFor(stored.first().id);
        co_await connection->attachToRunningTunnel();
        if (connection->status() == VPNStatus::disconnected && stored.first().isOnDemandEnabled)
            connection->startOnDemand();
    }
    co_return profiles;
}

TunnelProfilePtr LinuxTunnelPlatform::makeProfile()
{
    return std::make_shared<LinuxTunnelProfile>(m_site, connectionFor(QUuid::createUuid()));
}
