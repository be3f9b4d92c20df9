#pragma once

#include "core/catalogue/server.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QUuid>

#include <memory>
#include <variant>

// A group filled from a subscription URL.
struct SubscriptionType {
    QString name;
    QString url;
    bool autoUpdate = false;
    friend bool operator==(const SubscriptionType &, const SubscriptionType &) = default;
};

// The one group of servers the user entered by hand or imported from a single URI.
struct ManualType {
    friend bool operator==(const ManualType &, const ManualType &) = default;
};

using GroupType = std::variant<SubscriptionType, ManualType>;

// The subscription's title, or "My servers" for the manual group.
QString groupName(const GroupType &type);

class ServerGroup final : public QObject, public ServerWatcher {
    Q_OBJECT
    Q_PROPERTY(QList<ServerPtr> servers READ servers WRITE setServers NOTIFY serversChanged)
    Q_PROPERTY(QDateTime lastUpdated READ lastUpdated WRITE setLastUpdated NOTIFY lastUpdatedChanged)

public:
    // A new group: fresh id, last updated now.
    ServerGroup(GroupType type, QList<ServerPtr> servers);
    // A group read back from storage.
    ServerGroup(QUuid id, GroupType type, QList<ServerPtr> servers, QDateTime lastUpdated);
    Q_DISABLE_COPY_MOVE(ServerGroup)
    ~ServerGroup() override;

    QUuid id() const { return m_id; }
    const GroupType &type() const { return m_type; }
    bool isManual() const { return std::holds_alternative<ManualType>(m_type); }

    const QList<ServerPtr> &servers() const { return m_servers; }
    void setServers(QList<ServerPtr> servers);
    QDateTime lastUpdated() const { return m_lastUpdated; }
    void setLastUpdated(const QDateTime &lastUpdated);

    // Appends a server; observers see the list change.
    void appendServer(ServerPtr server);
    // Removes every server with this id; true when something was removed.
    bool removeServers(const QUuid &serverId);
    ServerPtr findServer(const QUuid &serverId) const;
    // The position of this very object in servers(), or -1.
    qsizetype indexOf(const Server *server) const;

    friend bool operator==(const ServerGroup &a, const ServerGroup &b) { return a.m_id == b.m_id; }

Q_SIGNALS:
    // Changes of the list come in pairs around the change, as an item model needs them;
    // first and last are positions in servers(), both included.
    void serversAboutToBeInserted(qsizetype first, qsizetype last);
    void serversInserted(qsizetype first, qsizetype last);
    void serversAboutToBeRemoved(qsizetype first, qsizetype last);
    void serversRemoved(qsizetype first, qsizetype last);
    // After any change of the list.
    void serversChanged();
    // One server's name, settings, status or busy mark changed.
    void serverChanged(qsizetype index);
    void lastUpdatedChanged();

private:
    void fieldsChanged(const Server &server) override;
    void appendServers(QList<ServerPtr> servers);
    void removeServerRange(qsizetype first, qsizetype last);
    void release(const QList<ServerPtr> &servers);

    QUuid m_id;
    GroupType m_type;
    QList<ServerPtr> m_servers;
    QDateTime m_lastUpdated;
    // Positions by object, rebuilt on the first change after the list changed.
    mutable QHash<const Server *, qsizetype> m_indexes;
    mutable bool m_indexesValid = false;
};

using ServerGroupPtr = std::shared_ptr<ServerGroup>;

inline size_t qHash(const ServerGroup &group, size_t seed = 0)
{
    return qHash(group.id(), seed);
}
