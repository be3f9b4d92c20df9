#pragma once

#include "app/catalogue/servergroup.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QSet>
#include <QUuid>

#include <functional>
#include <memory>
#include <utility>

class DefaultsStore;

// The whole catalogue: any number of subscription groups, the one manual group and the
// selected server. It is stored under "groups" and written back after every change.
class GroupCollection final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<ServerGroupPtr> subscriptions READ subscriptions NOTIFY subscriptionsChanged)
    Q_PROPERTY(ServerGroupPtr manualGroup READ manualGroup CONSTANT)
    Q_PROPERTY(ServerPtr selectedServer READ selectedServer WRITE setSelectedServer NOTIFY selectedServerChanged)

public:
    // A fresh collection: no subscriptions, an empty manual group, nothing selected. Not stored
    // until the first change.
    explicit GroupCollection(DefaultsStore &store);
    Q_DISABLE_COPY_MOVE(GroupCollection)

    // The stored collection, or a fresh one when nothing is stored or it does not decode.
    // A selection that names no server any more is replaced by the default one and saved.
    static std::unique_ptr<GroupCollection> load(DefaultsStore &store);
    // The same for a fresh collection, without making its thread wait: the stored catalogue is read
    // and decoded on the writer thread, then put in place on the collection's thread, where `loaded`
    // runs afterwards. Until then the collection stays empty and should not be changed.
    void loadInBackground(std::function<void()> loaded);
    ~GroupCollection() override;
    // Stores the catalogue as it is now. A large catalogue is encoded and written on the store's
    // writer thread so the interface never waits for it; writes always land in the order of the
    // saves, and the store, not the collection, sees the last one to disk.
    void save();

    const QList<ServerGroupPtr> &subscriptions() const { return m_subscriptions; }
    const ServerGroupPtr &manualGroup() const { return m_manualGroup; }
    const ServerPtr &selectedServer() const { return m_selectedServer; }
    // A plain assignment; the user's selection is followed by save().
    void setSelectedServer(const ServerPtr &server);

    bool isEmpty() const;
    // Subscriptions in order, then the manual group.
    QList<ServerPtr> allServers() const;
    ServerPtr findServer(const QUuid &id) const;

    void addServer(const ServerPtr &server);
    // Removes the server from the manual group; subscription servers are never removed one by one.
    void removeServer(const Server &server);
    void addSubscription(const ServerGroupPtr &group);
    void removeSubscriptions(const QSet<QUuid> &groupIds);
    // The user's rearranging: the subscription at from ends up at to, as QList::move does.
    void moveSubscription(qsizetype from, qsizetype to);
    // Puts a freshly loaded copy in place of the subscription with this id, keeping the user's
    // names and the selection; does nothing at all when no subscription has this id.
    void replaceSubscription(const QUuid &id, const ServerGroupPtr &group);
    // Several replacements in order, one per turn of the event loop so that the list repaints and
    // input is handled between them (50 groups of 1,000 servers in one go froze the window), with
    // one save at the end.
    QCoro::Task<> replaceSubscriptions(QList<std::pair<QUuid, ServerGroupPtr>> replacements);

    void ensureValidSelection();
    // The manual group's first server, else the first server of the first non-empty subscription.
    void selectDefaultServer();

Q_SIGNALS:
    // Any change of the catalogue, including one inside a group.
    void changed();
    // After any change of the subscriptions list.
    void subscriptionsChanged();
    void selectedServerChanged();

    // Changes of the subscriptions list come in pairs around the change, as an item model needs
    // them; positions are in subscriptions(), first and last both included.
    void subscriptionsAboutToBeInserted(qsizetype first, qsizetype last);
    void subscriptionsInserted(qsizetype first, qsizetype last);
    void subscriptionsAboutToBeRemoved(qsizetype first, qsizetype last);
    void subscriptionsRemoved(qsizetype first, qsizetype last);
    void subscriptionAboutToBeMoved(qsizetype from, qsizetype to);
    void subscriptionMoved(qsizetype from, qsizetype to);
    // A refresh or an edit puts a different group object at this position.
    void subscriptionAboutToBeReplaced(qsizetype index);
    void subscriptionReplaced(qsizetype index);

private:
    struct Stored;
    // Puts a decoded catalogue in place, as load() does.
    void adopt(Stored &stored);

    // The selection rules without the save, for operations that save once at their end.
    // keepSelectionValid returns true when it had to choose anew; selectFirstServer when it found one.
    bool keepSelectionValid();
    // replaceSubscription without the save; false when no subscription has this id.
    bool mergeSubscription(const QUuid &id, const ServerGroupPtr &group);
    bool selectFirstServer();

    DefaultsStore &m_store;
    QList<ServerGroupPtr> m_subscriptions;
    ServerGroupPtr m_manualGroup;
    ServerPtr m_selectedServer;
};
