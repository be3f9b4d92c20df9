#include "ui/settings/subscriptionspage.h"

#include "app/catalogue/subscriptionusagestore.h"

#include "app/catalogue/groupcollection.h"
#include "app/forms/subscriptionviewmodel.h"
#include "ui/common/icons.h"
#include "ui/common/sheet.h"
#include "ui/forms/formparts.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/settings/settingsrows.h"

#include <QAbstractListModel>
#include <QHBoxLayout>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

// Set on the rows of groups without a name, which show a placeholder instead.
constexpr int unnamedRole = Qt::UserRole + 1;
// The provider's figures for the subscription, as one line; empty when unknown.
constexpr int usageRole = Qt::UserRole + 2;

// The subscriptions as rows, following the catalogue's changes one by one so the selection and
// the scroll position survive them. It keeps its own copy of the list, as the view last saw it.
class SubscriptionListModel final : public QAbstractListModel {
public:
    SubscriptionListModel(GroupCollection &groups, const SubscriptionUsageStore *usages, QObject *parent)
        : QAbstractListModel(parent)
        , m_groups(groups)
        , m_usages(usages)
        , m_rows(groups.subscriptions())
    {
        if (m_usages) {
            connect(m_usages, &SubscriptionUsageStore::usageChanged, this, [this](const QString &url) {
                for (int row = 0; row < rowCount(); ++row) {
                    if (urlAt(row) == url)
                        Q_EMIT dataChanged(index(row), index(row), { usageRole });
                }
            });
        }
        connect(&groups, &GroupCollection::subscriptionsAboutToBeInserted, this,
            [this](qsizetype first, qsizetype last) { beginInsertRows({}, int(first), int(last)); });
        connect(&groups, &GroupCollection::subscriptionsInserted, this, [this](qsizetype first, qsizetype last) {
            for (qsizetype i = first; i <= last; ++i)
                m_rows.insert(i, m_groups.subscriptions().at(i));
            endInsertRows();
        });
        connect(&groups, &GroupCollection::subscriptionsAboutToBeRemoved, this,
            [this](qsizetype first, qsizetype last) { beginRemoveRows({}, int(first), int(last)); });
        connect(&groups, &GroupCollection::subscriptionsRemoved, this, [this](qsizetype first, qsizetype last) {
            m_rows.remove(first, last - first + 1);
            endRemoveRows();
        });
        connect(&groups, &GroupCollection::subscriptionAboutToBeMoved, this, [this](qsizetype from, qsizetype to) {
            // The model's destination is the row the moved one goes before, counted before the move.
            beginMoveRows({}, int(from), int(from), {}, int(to > from ? to + 1 : to));
        });
        connect(&groups, &GroupCollection::subscriptionMoved, this, [this](qsizetype from, qsizetype to) {
            m_rows.move(from, to);
            endMoveRows();
        });
        connect(&groups, &GroupCollection::subscriptionReplaced, this, [this](qsizetype at) {
            m_rows[at] = m_groups.subscriptions().at(at);
            Q_EMIT dataChanged(index(int(at)), index(int(at)));
        });
        // A catalogue loaded in the background arrives whole, with this signal only.
        connect(&groups, &GroupCollection::subscriptionsChanged, this, [this] {
            if (m_rows == m_groups.subscriptions())
                return;
            beginResetModel();
            m_rows = m_groups.subscriptions();
            endResetModel();
        });
    }

    const ServerGroupPtr &group(int row) const { return m_rows.at(row); }

    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_rows.size()); }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
            return {};
        const QString name = groupName(m_rows.at(index.row())->type());
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return name.isEmpty() ? SubscriptionsSettingsPage::tr("Unnamed") : name;
        case unnamedRole:
            return name.isEmpty();
        case usageRole: {
            const std::optional<SubscriptionUsage> usage
                = m_usages ? m_usages->usage(urlAt(index.row())) : std::nullopt;
            if (!usage)
                return QString();
            QStringList parts { usageAmountText(*usage), usageExpiryText(*usage) };
            parts.removeAll(QString());
            return parts.join(u" · ");
        }
        default:
            return {};
        }
    }

    // Rows are dragged, and dropped only between rows, never onto one.
    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        if (!index.isValid())
            return Qt::ItemIsDropEnabled;
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    }

    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }

    // What the view does with a row dropped within it. The catalogue stores the new order at once.
    bool moveRows(const QModelIndex &sourceParent, int sourceRow, int count, const QModelIndex &destinationParent,
        int destinationChild) override
    {
        if (sourceParent.isValid() || destinationParent.isValid() || count != 1 || sourceRow < 0
            || sourceRow >= rowCount() || destinationChild < 0 || destinationChild > rowCount())
            return false;
        if (destinationChild == sourceRow || destinationChild == sourceRow + 1)
            return false;
        m_groups.moveSubscription(sourceRow, destinationChild > sourceRow ? destinationChild - 1 : destinationChild);
        return true;
    }

private:
    QString urlAt(int row) const
    {
        const auto *subscription = std::get_if<SubscriptionType>(&m_rows.at(row)->type());
        return subscription ? subscription->url : QString();
    }

    GroupCollection &m_groups;
    const SubscriptionUsageStore *m_usages;
    QList<ServerGroupPtr> m_rows;
};

// Shows the placeholder of an unnamed group in the secondary colour.
class SubscriptionRowDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.data(unnamedRole).toBool())
            option->palette.setBrush(QPalette::Text, option->palette.brush(QPalette::PlaceholderText));
    }

    // The provider's figures at the row's end, in the secondary colour.
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const QString usage = index.data(usageRole).toString();
        if (usage.isEmpty())
            return;
        painter->save();
        const bool selected = option.state & QStyle::State_Selected;
        painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
        painter->drawText(option.rect.adjusted(0, 0, -8, 0), Qt::AlignVCenter | Qt::AlignRight, usage);
        painter->restore();
    }
};

QPushButton *flatButton(IconName symbol, const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(icon(symbol), text, parent);
    button->setFlat(true);
    button->setAccessibleName(text);
    button->setAutoDefault(false);
    return button;
}

} // namespace

SubscriptionsSettingsPage::SubscriptionsSettingsPage(
    GroupCollection &groups, SubscriptionLoader &loader, const SubscriptionUsageStore *usages, QWidget *parent)
    : QWidget(parent)
    , m_groups(groups)
    , m_loader(loader)
    , m_list(new QListView(this))
    , m_add(flatButton(IconName::add, tr("Add"), this))
    , m_remove(flatButton(IconName::remove, tr("Remove"), this))
    , m_edit(flatButton(IconName::edit, tr("Edit"), this))
{
    QVBoxLayout *page = settingsPageLayout(this);
    QVBoxLayout *rows = settingsSection(page, tr("Subscriptions"), this);

    m_list->setAccessibleName(tr("Subscriptions"));
    m_list->setModel(new SubscriptionListModel(groups, usages, m_list));
    m_list->setItemDelegate(new SubscriptionRowDelegate(m_list));
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setDragDropMode(QAbstractItemView::InternalMove);
    m_list->setDefaultDropAction(Qt::MoveAction);
    m_list->setUniformItemSizes(true);
    m_list->setStyleSheet(QStringLiteral("QListView::item { padding: 4px; }"));
    rows->addWidget(m_list, 1);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(0);
    buttons->addWidget(m_add);
    buttons->addWidget(m_remove);
    buttons->addWidget(m_edit);
    buttons->addStretch(1);
    rows->addLayout(buttons);
    page->setStretch(0, 1);

    connect(m_add, &QPushButton::clicked, this, [this] { openForm(false); });
    connect(m_edit, &QPushButton::clicked, this, [this] { openForm(true); });
    connect(m_remove, &QPushButton::clicked, this, [this] {
        QSet<QUuid> ids;
        const auto *model = static_cast<const SubscriptionListModel *>(m_list->model());
        for (const QModelIndex &index : m_list->selectionModel()->selectedRows())
            ids.insert(model->group(index.row())->id());
        if (!ids.isEmpty())
            m_groups.removeSubscriptions(ids);
    });

    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &SubscriptionsSettingsPage::updateButtons);
    // Rows removed or replaced wholesale leave the selection without always saying so.
    connect(m_list->model(), &QAbstractItemModel::rowsRemoved, this, &SubscriptionsSettingsPage::updateButtons);
    connect(m_list->model(), &QAbstractItemModel::modelReset, this, &SubscriptionsSettingsPage::updateButtons);
    updateButtons();
}

void SubscriptionsSettingsPage::updateButtons()
{
    const qsizetype selected = m_list->selectionModel()->selectedRows().size();
    m_remove->setEnabled(selected > 0);
    m_edit->setEnabled(selected == 1);
}

void SubscriptionsSettingsPage::openForm(bool editSelected)
{
    SubscriptionOperation operation = SubscriptionOperations::New {};
    if (editSelected) {
        const QModelIndexList selected = m_list->selectionModel()->selectedRows();
        if (selected.size() != 1)
            return;
        operation = SubscriptionOperations::Edit {
            static_cast<const SubscriptionListModel *>(m_list->model())->group(selected.first().row())
        };
    }
    auto *form = new SubscriptionScreen(new SubscriptionViewModel(operation), m_groups, m_loader);
    auto *sheet = new Sheet(form, QSize(380, 300), this);
    auto *close = headerButton(tr("Close"));
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, sheet, &QWidget::close);
    form->addLeadingHeaderWidget(close);
    connect(form, &SubscriptionScreen::finished, sheet, &QWidget::close);
    sheet->open();
}
