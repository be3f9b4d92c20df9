#include "app/catalogue/servergroup.h"

QString groupName(const GroupType &type)
{
    if (const auto *subscription = std::get_if<SubscriptionType>(&type))
        return subscription->name;
    return QStringLiteral("My servers");
}

ServerGroup::ServerGroup(GroupType type, QList<ServerPtr> servers)
    : ServerGroup(QUuid::createUuid(), std::move(type), std::move(servers), QDateTime::currentDateTimeUtc())
{
}

ServerGroup::ServerGroup(QUuid id, GroupType type, QList<ServerPtr> servers, QDateTime lastUpdated)
    : m_id(id)
    , m_type(std::move(type))
    , m_servers(std::move(servers))
    , m_lastUpdated(std::move(lastUpdated))
{
}

void ServerGroup::setServers(QList<ServerPtr> servers)
{
    m_servers = std::move(servers);
    Q_EMIT serversChanged();
}

void ServerGroup::setLastUpdated(const QDateTime &lastUpdated)
{
    if (m_lastUpdated == lastUpdated)
        return;
    m_lastUpdated = lastUpdated;
    Q_EMIT lastUpdatedChanged();
}

void ServerGroup::appendServer(ServerPtr server)
{
    m_servers.append(std::move(server));
    Q_EMIT serversChanged();
}

bool ServerGroup::removeServers(const QUuid &serverId)
{
    const auto removed = m_servers.removeIf([&](const ServerPtr &s) { return s->id() == serverId; });
    if (removed > 0)
        Q_EMIT serversChanged();
    return removed > 0;
}

ServerPtr ServerGroup::findServer(const QUuid &serverId) const
{
    for (const auto &server : m_servers) {
        if (server->id() == serverId)
            return server;
    }
    return nullptr;
}
