#include "app/catalogue/catalogueitemmodel.h"

#include "app/catalogue/subscriptionusagestore.h"

#include "app/catalogue/groupcollection.h"

#include <algorithm>

using namespace std::chrono_literals;

namespace {
// About two frames: status answers that arrive meanwhile are painted together.
constexpr auto batchInterval = 30ms;
} // namespace

CatalogueItemModel::CatalogueItemModel(GroupCollection &groups, QObject *parent)
    : QAbstractItemModel(parent)
    , m_groups(groups)
    , m_selected(groups.selectedServer().get())
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(batchInterval);
    connect(&m_flushTimer, &QTimer::timeout, this, &CatalogueItemModel::flushChanges);

    for (const auto &group : groups.subscriptions())
        watch(group.get());
    watch(groups.manualGroup().get());

    connect(&groups, &GroupCollection::subscriptionsAboutToBeInserted, this, [this](qsizetype first, qsizetype last) {
        flushChanges();
        beginInsertRows({}, int(first), int(last));
    });
    connect(&groups, &GroupCollection::subscriptionsInserted, this, [this](qsizetype first, qsizetype last) {
        for (qsizetype i = first; i <= last; ++i)
            watch(m_groups.subscriptions().at(i).get());
        endInsertRows();
    });
    connect(&groups, &GroupCollection::subscriptionsAboutToBeRemoved, this, [this](qsizetype first, qsizetype last) {
        flushChanges();
        for (qsizetype i = first; i <= last; ++i)
            unwatch(m_groups.subscriptions().at(i).get());
        beginRemoveRows({}, int(first), int(last));
    });
    connect(&groups, &GroupCollection::subscriptionsRemoved, this, [this] { endRemoveRows(); });
    connect(&groups, &GroupCollection::subscriptionAboutToBeMoved, this, [this](qsizetype from, qsizetype to) {
        flushChanges();
        // The destination counts rows before the move takes place.
        beginMoveRows({}, int(from), int(from), {}, int(to > from ? to + 1 : to));
    });
    connect(&groups, &GroupCollection::subscriptionMoved, this, [this] { endMoveRows(); });
    // The old group's servers leave and the new group's arrive; the group's own row stays.
    connect(&groups, &GroupCollection::subscriptionAboutToBeReplaced, this, [this](qsizetype index) {
        flushChanges();
        ServerGroup *old = m_groups.subscriptions().at(index).get();
        unwatch(old);
        const auto count = int(old->servers().size());
        if (count > 0)
            beginRemoveRows(createIndex(int(index), 0), 0, count - 1);
        m_emptiedRow = int(index);
        if (count > 0)
            endRemoveRows();
    });
    connect(&groups, &GroupCollection::subscriptionReplaced, this, [this](qsizetype index) {
        ServerGroup *group = m_groups.subscriptions().at(index).get();
        watch(group);
        const QModelIndex row = createIndex(int(index), 0);
        const auto count = int(group->servers().size());
        if (count > 0)
            beginInsertRows(row, 0, count - 1);
        m_emptiedRow = -1;
        if (count > 0)
            endInsertRows();
        // An edited subscription may come back under another name.
        Q_EMIT dataChanged(row, row);
    });
    connect(&groups, &GroupCollection::selectedServerChanged, this, &CatalogueItemModel::selectionChanged);
}

QModelIndex CatalogueItemModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    if (!parent.isValid())
        return createIndex(row, column);
    // A server's index names its group, which stays right while groups move around it.
    return createIndex(row, column, groupAtRow(parent.row()));
}

QModelIndex CatalogueItemModel::parent(const QModelIndex &child) const
{
    const auto *group = child.isValid() ? static_cast<const ServerGroup *>(child.internalPointer()) : nullptr;
    if (!group)
        return {};
    const int row = rowOf(group);
    return row < 0 ? QModelIndex() : createIndex(row, 0);
}

int CatalogueItemModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return groupRowCount();
    if (parent.column() != 0 || parent.internalPointer() || parent.row() == m_emptiedRow)
        return 0;
    const ServerGroup *group = groupAtRow(parent.row());
    return group ? int(group->servers().size()) : 0;
}

void CatalogueItemModel::setUsages(const SubscriptionUsageStore *usages)
{
    if (m_usages)
        disconnect(m_usages, nullptr, this, nullptr);
    m_usages = usages;
    if (!m_usages)
        return;
    connect(m_usages, &SubscriptionUsageStore::usageChanged, this, [this](const QString &url) {
        for (int row = 0; row < rowCount(); ++row) {
            const auto *subscription = std::get_if<SubscriptionType>(&groupAtRow(row)->type());
            if (subscription && subscription->url == url)
                Q_EMIT dataChanged(index(row, 0), index(row, 0), { UsageRole });
        }
    });
}

int CatalogueItemModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant CatalogueItemModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    if (!index.internalPointer()) {
        const ServerGroup *group = groupAtRow(index.row());
        if (!group)
            return {};
        switch (role) {
        case Qt::DisplayRole: {
            const QString name = groupName(group->type());
            return name.isEmpty() ? tr("Subscription") : name;
        }
        case IdRole:
            return group->id();
        case UsageRole: {
            const auto *subscription = std::get_if<SubscriptionType>(&group->type());
            const std::optional<SubscriptionUsage> usage
                = subscription && m_usages ? m_usages->usage(subscription->url) : std::nullopt;
            return usage ? usageAmountText(*usage) : QString();
        }
        default:
            return {};
        }
    }
    const ServerPtr server = serverAt(index);
    if (!server)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return server->name();
    case IdRole:
        return server->id();
    case ProtocolRole:
        return protocolName(server->settings());
    case StatusRole:
        return QVariant::fromValue(server->status());
    case InProgressRole:
        return server->inProgress();
    case SelectedRole:
        return server == m_groups.selectedServer();
    default:
        return {};
    }
}

Qt::ItemFlags CatalogueItemModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // Only servers can be highlighted, picked and checked.
    return index.internalPointer() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren
                                   : Qt::ItemIsEnabled;
}

QHash<int, QByteArray> CatalogueItemModel::roleNames() const
{
    return {
        { Qt::DisplayRole, "name" },
        { IdRole, "id" },
        { ProtocolRole, "protocol" },
        { StatusRole, "status" },
        { InProgressRole, "inProgress" },
        { SelectedRole, "selected" },
    };
}

ServerGroupPtr CatalogueItemModel::groupAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.internalPointer() || index.model() != this)
        return nullptr;
    const qsizetype row = index.row();
    if (row < m_groups.subscriptions().size())
        return m_groups.subscriptions().at(row);
    return isManualShown() && row == m_groups.subscriptions().size() ? m_groups.manualGroup() : nullptr;
}

ServerPtr CatalogueItemModel::serverAt(const QModelIndex &index) const
{
    if (!index.isValid() || !index.internalPointer() || index.model() != this)
        return nullptr;
    const auto *group = static_cast<const ServerGroup *>(index.internalPointer());
    return index.row() < group->servers().size() ? group->servers().at(index.row()) : nullptr;
}

QModelIndex CatalogueItemModel::indexOf(const Server *server) const
{
    if (!server)
        return {};
    for (int row = 0; row < groupRowCount(); ++row) {
        ServerGroup *group = groupAtRow(row);
        if (row == m_emptiedRow)
            continue;
        if (const qsizetype at = group->indexOf(server); at >= 0)
            return createIndex(int(at), 0, group);
    }
    return {};
}

ServerGroup *CatalogueItemModel::groupAtRow(int row) const
{
    const auto &subscriptions = m_groups.subscriptions();
    if (row >= 0 && row < subscriptions.size())
        return subscriptions.at(row).get();
    return isManualShown() && row == subscriptions.size() ? m_groups.manualGroup().get() : nullptr;
}

int CatalogueItemModel::rowOf(const ServerGroup *group) const
{
    const auto &subscriptions = m_groups.subscriptions();
    if (group == m_groups.manualGroup().get())
        return int(subscriptions.size());
    const auto found = std::find_if(subscriptions.cbegin(), subscriptions.cend(),
        [group](const ServerGroupPtr &candidate) { return candidate.get() == group; });
    return found == subscriptions.cend() ? -1 : int(found - subscriptions.cbegin());
}

int CatalogueItemModel::groupRowCount() const
{
    return int(m_groups.subscriptions().size()) + (isManualShown() ? 1 : 0);
}

bool CatalogueItemModel::isManualShown() const
{
    return !m_groups.manualGroup()->servers().isEmpty();
}

void CatalogueItemModel::watch(ServerGroup *group)
{
    // "My servers" is shown only while it holds a server: its first server brings the row, its last
    // takes the row away.
    const bool manual = group == m_groups.manualGroup().get();
    connect(
        group, &ServerGroup::serversAboutToBeInserted, this, [this, group, manual](qsizetype first, qsizetype last) {
            flushChanges();
            if (manual && group->servers().isEmpty())
                beginInsertRows({}, groupRowCount(), groupRowCount());
            else
                beginInsertRows(createIndex(rowOf(group), 0), int(first), int(last));
        });
    connect(group, &ServerGroup::serversInserted, this, [this] { endInsertRows(); });
    connect(group, &ServerGroup::serversAboutToBeRemoved, this, [this, group, manual](qsizetype first, qsizetype last) {
        flushChanges();
        const int row = rowOf(group);
        if (manual && first == 0 && last == group->servers().size() - 1)
            beginRemoveRows({}, row, row);
        else
            beginRemoveRows(createIndex(row, 0), int(first), int(last));
    });
    connect(group, &ServerGroup::serversRemoved, this, [this] { endRemoveRows(); });
    connect(group, &ServerGroup::serverChanged, this, [this, group](qsizetype index) { noteChanged(group, index); });
}

void CatalogueItemModel::unwatch(ServerGroup *group)
{
    disconnect(group, nullptr, this, nullptr);
}

void CatalogueItemModel::noteChanged(const ServerGroup *group, qsizetype index)
{
    m_changed.emplace_back(group, index);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void CatalogueItemModel::flushChanges()
{
    m_flushTimer.stop();
    if (m_changed.empty())
        return;
    std::vector<std::pair<const ServerGroup *, qsizetype>> changed;
    changed.swap(m_changed);
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    // One range per run of neighbouring rows of one group.
    for (auto run = changed.cbegin(); run != changed.cend();) {
        const ServerGroup *group = run->first;
        auto end = std::next(run);
        while (end != changed.cend() && end->first == group && end->second == std::prev(end)->second + 1)
            ++end;
        const int groupRow = rowOf(group);
        const qsizetype last = std::prev(end)->second;
        if (groupRow >= 0 && groupRow != m_emptiedRow && last < group->servers().size()) {
            auto *parent = const_cast<ServerGroup *>(group);
            Q_EMIT dataChanged(createIndex(int(run->second), 0, parent), createIndex(int(last), 0, parent));
        }
        run = end;
    }
}

void CatalogueItemModel::selectionChanged()
{
    Server *previous = m_selected.data();
    m_selected = m_groups.selectedServer().get();
    for (const Server *server : { previous, m_selected.data() }) {
        if (const QModelIndex index = indexOf(server); index.isValid())
            Q_EMIT dataChanged(index, index, { SelectedRole });
    }
}
