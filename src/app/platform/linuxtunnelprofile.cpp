#include "app/platform/linuxtunnelprofile.h"

#include "app/platform/linuxtunnelconnection.h"

LinuxTunnelProfile::LinuxTunnelProfile(
    std::shared_ptr<TunnelSite> site, std::shared_ptr<LinuxTunnelConnection> connection)
    : m_site(std::move(site))
    , m_connection(std::move(connection))
{
}

QUuid LinuxTunnelProfile::id() const
{
    return m_connection->profileId();
}

void LinuxTunnelProfile::assign(const StoredProfile &stored)
{
    localizedDescription = stored.localizedDescription;
    isEnabled = stored.isEnabled;
    protocolConfiguration = stored.protocolConfiguration;
    onDemandRules = stored.onDemandRules;
    isOnDemandEnabled = stored.isOnDemandEnabled;
}

StoredProfile LinuxTunnelProfile::toStored() const
{
    return StoredProfile { id(), localizedDescription, isEnabled, protocolConfiguration, onDemandRules,
        isOnDemandEnabled };
}

QCoro::Task<> LinuxTunnelProfile::saveToPreferences()
{
    m_site->profiles.save(toStored());
    m_connection->setOnDemandEnabled(isOnDemandEnabled);
    co_return;
}

QCoro::Task<> LinuxTunnelProfile::loadFromPreferences()
{
    const auto stored = m_site->profiles.find(id());
    if (!stored)
        throw PlatformFailure(QStringLiteral("The tunnel profile is no longer saved"));
    assign(*stored);
    m_connection->setOnDemandEnabled(stored->isOnDemandEnabled);
    co_return;
}

QCoro::Task<> LinuxTunnelProfile::removeFromPreferences()
{
    m_site->profiles.remove(id());
    // A removed profile has no tunnel left to restart, nor one left running.
    m_connection->setOnDemandEnabled(false);
    m_connection->stopVPNTunnel();
    co_return;
}

TunnelConnection *LinuxTunnelProfile::connection()
{
    return m_connection.get();
}
