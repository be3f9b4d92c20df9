#include "app/catalogue/servergroup.h"

#include <QMetaMethod>

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
    for (const auto &server : std::as_const(m_servers))
        server->setWatcher(this);
}

ServerGroup::~ServerGroup()
{
    // The selection or an open editor may keep a server longer than its group.
    for (const auto &server : std::as_const(m_servers)) {
        if (server->watcher() == this)
            server->setWatcher(nullptr);
    }
}

void ServerGroup::setServers(QList<ServerPtr> servers)
{
    // Told as removal and insertion, so an item model keeps its persistent indexes sane.
    if (!m_servers.isEmpty())
        removeServerRange(0, m_servers.size() - 1);
    appendServers(std::move(servers));
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
    appendServers({ std::move(server) });
    Q_EMIT serversChanged();
}

bool ServerGroup::removeServers(const QUuid &serverId)
{
    bool removed = false;
    // From the back, one contiguous run at a time, so each signal's positions hold when it is sent.
    for (qsizetype last = m_servers.size() - 1; last >= 0; --last) {
        if (m_servers[last]->id() != serverId)
            continue;
        qsizetype first = last;
        while (first > 0 && m_servers[first - 1]->id() == serverId)
            --first;
        removeServerRange(first, last);
        removed = true;
        last = first;
    }
    if (removed)
        Q_EMIT serversChanged();
    return removed;
}

ServerPtr ServerGroup::findServer(const QUuid &serverId) const
{
    for (const auto &server : m_servers) {
        if (server->id() == serverId)
            return server;
    }
    return nullptr;
}

qsizetype ServerGroup::indexOf(const Server *server) const
{
    if (!m_indexesValid) {
        m_indexes.clear();
        m_indexes.reserve(m_servers.size());
        // Backwards, so a server held twice maps to its first position.
        for (qsizetype i = m_servers.size() - 1; i >= 0; --i)
            m_indexes.insert(m_servers[i].get(), i);
        m_indexesValid = true;
    }
    return m_indexes.value(server, -1);
}

void ServerGroup::appendServers(QList<ServerPtr> servers)
{
    if (servers.isEmpty())
        return;
    const qsizetype first = m_servers.size();
    const qsizetype last = first + servers.size() - 1;
    Q_EMIT serversAboutToBeInserted(first, last);
    for (const auto &server : std::as_const(servers))
        server->setWatcher(this);
    m_servers.append(std::move(servers));
    m_indexesValid = false;
    Q_EMIT serversInserted(first, last);
}

void ServerGroup::removeServerRange(qsizetype first, qsizetype last)
{
    Q_EMIT serversAboutToBeRemoved(first, last);
    const QList<ServerPtr> removed = m_servers.sliced(first, last - first + 1);
    m_servers.remove(first, last - first + 1);
    m_indexesValid = false;
    release(removed);
    Q_EMIT serversRemoved(first, last);
}

void ServerGroup::release(const QList<ServerPtr> &servers)
{
    for (const auto &server : servers) {
        // A server the group still holds at another position stays watched.
        if (server->watcher() == this && indexOf(server.get()) < 0)
            server->setWatcher(nullptr);
    }
}

void ServerGroup::fieldsChanged(const Server &server)
{
    // Finding the position takes a table of the group's servers; build it only for a listener.
    if (!isSignalConnected(QMetaMethod::fromSignal(&ServerGroup::serverChanged)))
        return;
    if (const qsizetype index = indexOf(&server); index >= 0)
        Q_EMIT serverChanged(index);
}
