#include "catalogue/groupcollection.h"

#include "catalogue/groupcollectionjson.h"
#include "platform/defaultsstore.h"

namespace {
const QString storeKey = QStringLiteral("groups");
}

GroupCollection::GroupCollection(DefaultsStore &store)
    : m_store(store)
    , m_manualGroup(std::make_shared<ServerGroup>(ManualType {}, QList<ServerPtr> {}))
{
}

std::unique_ptr<GroupCollection> GroupCollection::load(DefaultsStore &store)
{
    auto collection = std::make_unique<GroupCollection>(store);
    const auto bytes = store.data(storeKey);
    if (!bytes)
        return collection;

    StoredGroups stored;
    try {
        stored = decodeGroupCollection(json::parse(*bytes));
    } catch (const DecodingError &) {
        // Left on disk as it is; a copy survives the next save so nothing is lost for good.
        store.preserveUnreadable(storeKey);
        return collection;
    }
    collection->m_subscriptions = std::move(stored.subscriptions);
    collection->m_manualGroup = std::move(stored.manualGroup);
    if (stored.selectedServerId)
        collection->m_selectedServer = collection->findServer(*stored.selectedServerId);
    if (!collection->m_selectedServer)
        collection->ensureValidSelection();
    return collection;
}

void GroupCollection::save()
{
    QByteArray bytes;
    try {
        bytes = json::serialize(encodeGroupCollection(*this));
    } catch (const DecodingError &) {
        return;
    }
    m_store.setData(storeKey, bytes);
}

void GroupCollection::setSelectedServer(const ServerPtr &server)
{
    if (m_selectedServer == server)
        return;
    m_selectedServer = server;
    Q_EMIT selectedServerChanged();
    Q_EMIT changed();
}

bool GroupCollection::isEmpty() const
{
    return m_subscriptions.isEmpty() && m_manualGroup->servers().isEmpty();
}

QList<ServerPtr> GroupCollection::allServers() const
{
    QList<ServerPtr> servers;
    for (const auto &group : m_subscriptions)
        servers.append(group->servers());
    servers.append(m_manualGroup->servers());
    return servers;
}

ServerPtr GroupCollection::findServer(const QUuid &id) const
{
    for (const auto &group : m_subscriptions) {
        if (auto server = group->findServer(id))
            return server;
    }
    return m_manualGroup->findServer(id);
}

void GroupCollection::addServer(const ServerPtr &server)
{
    m_manualGroup->appendServer(server);
    if (!m_selectedServer)
        setSelectedServer(server);
    Q_EMIT changed();
    save();
}

void GroupCollection::removeServer(const Server &server)
{
    m_manualGroup->removeServers(server.id());
    keepSelectionValid();
    Q_EMIT changed();
    save();
}

void GroupCollection::addSubscription(const ServerGroupPtr &group)
{
    m_subscriptions.append(group);
    Q_EMIT subscriptionsChanged();
    if (!m_selectedServer && !group->servers().isEmpty())
        setSelectedServer(group->servers().first());
    Q_EMIT changed();
    save();
}

void GroupCollection::removeSubscriptions(const QSet<QUuid> &groupIds)
{
    const auto removed = m_subscriptions.removeIf([&](const ServerGroupPtr &g) { return groupIds.contains(g->id()); });
    if (removed > 0)
        Q_EMIT subscriptionsChanged();
    keepSelectionValid();
    Q_EMIT changed();
    save();
}

void GroupCollection::ensureValidSelection()
{
    if (keepSelectionValid() && m_selectedServer)
        save();
}

void GroupCollection::selectDefaultServer()
{
    if (selectFirstServer())
        save();
}

bool GroupCollection::keepSelectionValid()
{
    if (m_selectedServer && findServer(m_selectedServer->id()))
        return false;
    selectFirstServer();
    return true;
}

bool GroupCollection::selectFirstServer()
{
    if (!m_manualGroup->servers().isEmpty()) {
        setSelectedServer(m_manualGroup->servers().first());
        return true;
    }
    for (const auto &group : m_subscriptions) {
        if (!group->servers().isEmpty()) {
            setSelectedServer(group->servers().first());
            return true;
        }
    }
    setSelectedServer(nullptr);
    return false;
}
