#pragma once

#include "app/catalogue/servergroup.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QPointer>
#include <QTimer>

#include <vector>

class GroupCollection;
class SubscriptionUsageStore;

// The catalogue as the servers list shows it: one top-level row per subscription in order, then
// "My servers" while the manual group holds a server; each group's servers are its children.
// It follows the collection's fine-grained signals, so no change resets it, and it gathers changes
// of servers' fields into a few dataChanged ranges: a status check of thousands of servers then
// repaints a few times, not once per answer.
class CatalogueItemModel final : public QAbstractItemModel {
    Q_OBJECT

public:
    enum Role {
        // A group's or a server's id (QUuid).
        IdRole = Qt::UserRole + 1,
        // "Shadowsocks", "VMess" or "VLESS"; servers only.
        ProtocolRole,
        // OnlineStatus; servers only.
        StatusRole,
        // True while a status check of the server runs.
        InProgressRole,
        // True for the selected server: the row with the checkmark.
        SelectedRole,
        // A subscription's usage figures as a short text ("1.2 GB of 10 GB"); empty when unknown.
        UsageRole,
    };
    Q_ENUM(Role)

    // The collection must outlive the model.
    explicit CatalogueItemModel(GroupCollection &groups, QObject *parent = nullptr);
    // Where the subscriptions' usage figures come from; none until set. Must outlive the model.
    void setUsages(const SubscriptionUsageStore *usages);
    Q_DISABLE_COPY_MOVE(CatalogueItemModel)

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The group of a top-level row, or the server of a child row; null for other indexes.
    ServerGroupPtr groupAt(const QModelIndex &index) const;
    ServerPtr serverAt(const QModelIndex &index) const;
    QModelIndex indexOf(const Server *server) const;

private:
    const SubscriptionUsageStore *m_usages = nullptr;
    // The group shown at a top-level row, and back.
    ServerGroup *groupAtRow(int row) const;
    int rowOf(const ServerGroup *group) const;
    int groupRowCount() const;
    bool isManualShown() const;

    void watch(ServerGroup *group);
    void unwatch(ServerGroup *group);
    void noteChanged(const ServerGroup *group, qsizetype index);
    // Sends the gathered field changes; done before any change of rows, whose positions they hold.
    void flushChanges();
    void selectionChanged();

    GroupCollection &m_groups;
    // A top-level row shown without children while its group is being replaced.
    int m_emptiedRow = -1;
    QPointer<Server> m_selected;
    std::vector<std::pair<const ServerGroup *, qsizetype>> m_changed;
    QTimer m_flushTimer;
};
