#include "app/catalogue/groupcollection.h"

#include "app/catalogue/groupcollectionjson.h"
#include "core/foundation/defaultsstore.h"
#include "core/foundation/log.h"

#include <QCoroTimer>
#include <QHash>
#include <QPointer>
#include <QThread>

#include <algorithm>

using namespace std::chrono_literals;

namespace {
const QString storeKey = QStringLiteral("groups");
}

GroupCollection::GroupCollection(DefaultsStore &store)
    : m_store(store)
    , m_manualGroup(std::make_shared<ServerGroup>(ManualType {}, QList<ServerPtr> {}))
{
}

// A stored catalogue as read and decoded: nothing, or the catalogue. A value that does not decode
// is copied aside (the store tells the user where) and counts as nothing.
struct GroupCollection::Stored {
    std::optional<StoredGroups> groups;

    static Stored decode(DefaultsStore &store, const StoredValue &value)
    {
        Stored stored;
        // An unreadable file is logged and reported by the store, which also refuses to replace it.
        if (value.state != StoredValue::State::present)
            return stored;
        try {
            stored.groups = decodeGroupCollection(json::parse(value.bytes));
        } catch (const DecodingError &) {
            // Left on disk as it is; a copy survives the next save so nothing is lost for good. The
            // error's text is not logged: it may quote the data.
            const auto copy = store.preserveUnreadable(storeKey);
            logError(QStringLiteral("The stored catalogue does not decode; starting with an empty one (copy: %1)")
                         .arg(copy.value_or(QStringLiteral("none"))));
        }
        return stored;
    }
};

std::unique_ptr<GroupCollection> GroupCollection::load(DefaultsStore &store)
{
    auto collection = std::make_unique<GroupCollection>(store);
    Stored stored = Stored::decode(store, store.read(storeKey));
    collection->adopt(stored);
    return collection;
}

void GroupCollection::loadInBackground(std::function<void()> loaded)
{
    QThread *const home = thread();
    // Read on the store's writer thread, so a save made meanwhile lands after the read; the result
    // reaches this collection only if it still exists.
    DefaultsStore &store = m_store;
    store.readLater(storeKey, this,
        [this, &store, home, loaded = std::move(loaded)](const StoredValue &value) -> std::function<void()> {
            auto stored = std::make_shared<Stored>(Stored::decode(store, value));
            if (stored->groups) {
                // Made on this thread, they must live on the collection's.
                for (const ServerGroupPtr &group : stored->groups->subscriptions) {
                    group->moveToThread(home);
                    for (const ServerPtr &server : group->servers())
                        server->moveToThread(home);
                }
                stored->groups->manualGroup->moveToThread(home);
                for (const ServerPtr &server : stored->groups->manualGroup->servers())
                    server->moveToThread(home);
            }
            return [this, stored, loaded] {
                adopt(*stored);
                if (loaded)
                    loaded();
            };
        });
}

void GroupCollection::adopt(Stored &stored)
{
    if (!stored.groups)
        return;
    m_subscriptions = std::move(stored.groups->subscriptions);
    m_manualGroup = std::move(stored.groups->manualGroup);
    m_selectedServer.reset();
    if (stored.groups->selectedServerId)
        m_selectedServer = findServer(*stored.groups->selectedServerId);
    if (!m_selectedServer)
        ensureValidSelection();
    Q_EMIT subscriptionsChanged();
    Q_EMIT selectedServerChanged();
    Q_EMIT changed();
}

GroupCollection::~GroupCollection() = default;

void GroupCollection::save()
{
    // Taking the values is cheap (shared strings); encoding 20,000 servers is not.
    CollectionRecord record = recordOf(*this);
    constexpr qsizetype writtenInPlace = 2000;
    const bool large = serverCount(record) > writtenInPlace;
    auto encode = [record = std::move(record)]() -> std::optional<QByteArray> {
        try {
            return json::serialize(encodeGroupCollection(record));
        } catch (const DecodingError &) {
            logError(QStringLiteral("The catalogue cannot be encoded; the stored one stays"));
            return std::nullopt;
        }
    };
    // A small catalogue is written at once, so the file is current when save() returns, unless an
    // earlier write is still queued: it must land first, and waiting for it would freeze the
    // interface, so this one queues behind it. A failed write is reported by the store; the next
    // change writes the whole catalogue again.
    if (large || m_store.hasPendingWrites(storeKey)) {
        m_store.setDataLater(storeKey, std::move(encode));
        return;
    }
    if (const auto bytes = encode())
        m_store.setData(storeKey, *bytes);
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
    const qsizetype at = m_subscriptions.size();
    Q_EMIT subscriptionsAboutToBeInserted(at, at);
    m_subscriptions.append(group);
    Q_EMIT subscriptionsInserted(at, at);
    Q_EMIT subscriptionsChanged();
    if (!m_selectedServer && !group->servers().isEmpty())
        setSelectedServer(group->servers().first());
    Q_EMIT changed();
    save();
}

void GroupCollection::removeSubscriptions(const QSet<QUuid> &groupIds)
{
    bool removed = false;
    // From the back, one contiguous run at a time, so each signal's positions hold when it is sent.
    const auto matches = [&](qsizetype i) { return groupIds.contains(m_subscriptions[i]->id()); };
    for (qsizetype last = m_subscriptions.size() - 1; last >= 0; --last) {
        if (!matches(last))
            continue;
        qsizetype first = last;
        while (first > 0 && matches(first - 1))
            --first;
        Q_EMIT subscriptionsAboutToBeRemoved(first, last);
        m_subscriptions.remove(first, last - first + 1);
        Q_EMIT subscriptionsRemoved(first, last);
        removed = true;
        last = first;
    }
    if (removed)
        Q_EMIT subscriptionsChanged();
    keepSelectionValid();
    Q_EMIT changed();
    save();
}

void GroupCollection::moveSubscription(qsizetype from, qsizetype to)
{
    const auto valid = [this](qsizetype i) { return i >= 0 && i < m_subscriptions.size(); };
    if (!valid(from) || !valid(to))
        return;
    if (from != to) {
        Q_EMIT subscriptionAboutToBeMoved(from, to);
        m_subscriptions.move(from, to);
        Q_EMIT subscriptionMoved(from, to);
        Q_EMIT subscriptionsChanged();
        Q_EMIT changed();
    }
    save();
}

void GroupCollection::replaceSubscription(const QUuid &id, const ServerGroupPtr &group)
{
    if (mergeSubscription(id, group))
        save();
}

QCoro::Task<> GroupCollection::replaceSubscriptions(QList<std::pair<QUuid, ServerGroupPtr>> replacements)
{
    const QPointer<GroupCollection> self(this);
    bool merged = false;
    for (qsizetype i = 0; i < replacements.size(); ++i) {
        if (i > 0) {
            co_await QCoro::sleepFor(0ms);
            if (!self)
                co_return;
        }
        merged = mergeSubscription(replacements[i].first, replacements[i].second) || merged;
    }
    if (merged)
        save();
}

bool GroupCollection::mergeSubscription(const QUuid &id, const ServerGroupPtr &group)
{
    const auto found = std::find_if(m_subscriptions.cbegin(), m_subscriptions.cend(),
        [&](const ServerGroupPtr &candidate) { return candidate->id() == id; });
    if (found == m_subscriptions.cend())
        return false;
    const qsizetype index = found - m_subscriptions.cbegin();
    const ServerGroupPtr old = *found;

    // The first old server per provider's name; a hash keeps large subscriptions linear.
    QHash<QString, ServerPtr> previousByOriginalName;
    for (const auto &server : old->servers()) {
        if (!previousByOriginalName.contains(server->originalName()))
            previousByOriginalName.insert(server->originalName(), server);
    }
    // Providers rename nothing, so the provider's name identifies the server the user renamed.
    for (const auto &server : group->servers()) {
        if (const auto previous = previousByOriginalName.value(server->originalName()))
            server->setName(previous->name());
    }

    const auto firstWithOriginalName = [](const QList<ServerPtr> &servers, const QString &originalName) {
        const auto match = std::find_if(servers.cbegin(), servers.cend(),
            [&](const ServerPtr &server) { return server->originalName() == originalName; });
        return match == servers.cend() ? ServerPtr() : *match;
    };

    const bool selectionWasHere = m_selectedServer && old->findServer(m_selectedServer->id());
    if (selectionWasHere) {
        if (const auto same = firstWithOriginalName(group->servers(), m_selectedServer->originalName()))
            setSelectedServer(same);
        else if (!group->servers().isEmpty())
            setSelectedServer(group->servers().first());
    }

    Q_EMIT subscriptionAboutToBeReplaced(index);
    m_subscriptions[index] = group;
    Q_EMIT subscriptionReplaced(index);
    // An emptied group's selection falls back to the default, chosen among what remains, so the
    // selection never points at a server that was just dropped; saved with the merge.
    if (selectionWasHere && group->servers().isEmpty())
        selectFirstServer();
    Q_EMIT subscriptionsChanged();
    Q_EMIT changed();
    return true;
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
