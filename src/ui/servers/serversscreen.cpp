#include "ui/servers/serversscreen.h"

#include "app/catalogue/cataloguefiltermodel.h"
#include "app/catalogue/catalogueitemmodel.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/statuschecks.h"
#include "ui/common/alert.h"
#include "ui/common/icons.h"
#include "ui/common/statusmark.h"
#include "ui/servers/serverrowdelegate.h"
#include "ui/servers/serverslistview.h"

#include <QCoroTask>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QToolButton *toolbarButton(IconName symbol, const QString &label, const QString &tooltip, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setIcon(icon(symbol));
    button->setText(label);
    button->setToolTip(tooltip);
    button->setAccessibleName(label);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

} // namespace

ServersScreen::ServersScreen(GroupCollection &groups, StatusProbe &probe, SubscriptionLoader &loader, QWidget *parent)
    : Screen(parent)
    , m_groups(groups)
    , m_probe(probe)
    , m_loader(loader)
    , m_catalogue(new CatalogueItemModel(groups, this))
    , m_filter(new CatalogueFilterModel(*m_catalogue, this))
    , m_list(new ServersListView(this))
    , m_filterField(new QLineEdit(this))
    , m_progress(new QWidget(this))
    , m_progressText(new QLabel(m_progress))
    , m_alert(new Alert(this))
{
    setTitle(tr("Servers"));
    addTrailingHeaderWidget(buildToolbar());

    m_filterField->setPlaceholderText(tr("Filter by name, address or protocol"));
    m_filterField->setAccessibleName(tr("Filter servers"));
    m_filterField->setClearButtonEnabled(true);
    connect(m_filterField, &QLineEdit::textChanged, this, &ServersScreen::applyFilter);

    m_list->setModel(m_filter);
    m_list->setAccessibleName(tr("Servers"));
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, &ServersScreen::showContextMenu);
    connect(m_list, &QAbstractItemView::doubleClicked, this, &ServersScreen::connectHighlighted);
    connect(m_list, &ServersListView::returnPressed, this, &ServersScreen::connectHighlighted);
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ServersScreen::rememberHighlight);

    ServerRowDelegate *rows = m_list->rowDelegate();
    connect(rows, &ServerRowDelegate::connectClicked, this, [this](const QModelIndex &index) {
        if (const ServerPtr server = serverAt(index))
            connectServer(server);
    });
    connect(rows, &ServerRowDelegate::refreshClicked, this, [this](const QModelIndex &index) {
        if (const ServerPtr server = serverAt(index))
            QCoro::connect(checkStatus(server, m_probe), this, [] {});
    });
    connect(rows, &ServerRowDelegate::infoClicked, this, [this](const QModelIndex &index) {
        if (const ServerPtr server = serverAt(index))
            Q_EMIT editServerRequested(server);
    });

    // The progress line sits under the list, centred; it takes no room while nothing runs.
    auto *busy = new BusyIndicator(m_progress);
    m_progressText->setForegroundRole(QPalette::PlaceholderText);
    auto *progressLayout = new QHBoxLayout(m_progress);
    progressLayout->setContentsMargins(10, 10, 10, 10);
    progressLayout->addStretch();
    progressLayout->addWidget(busy);
    progressLayout->addWidget(m_progressText);
    progressLayout->addStretch();
    m_progress->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *filterRow = new QHBoxLayout;
    filterRow->setContentsMargins(8, 4, 8, 6);
    filterRow->addWidget(m_filterField);
    layout->addLayout(filterRow);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_progress);
    setFocusProxy(m_list);
    setTabOrder(m_filterField, m_list);

    // Open at the selected server, with the keyboard there.
    if (m_groups.selectedServer()) {
        const QModelIndex selected = m_filter->mapFromSource(m_catalogue->indexOf(m_groups.selectedServer().get()));
        m_list->selectionModel()->setCurrentIndex(selected, QItemSelectionModel::NoUpdate);
        m_list->scrollTo(selected, QAbstractItemView::PositionAtCenter);
    }
}

void ServersScreen::setUsages(const SubscriptionUsageStore *usages)
{
    m_catalogue->setUsages(usages);
}

ServersScreen::~ServersScreen() = default;

QMenu *ServersScreen::contextMenu() const
{
    return m_menu;
}

QWidget *ServersScreen::buildToolbar()
{
    // One header widget holding the three buttons, so "Update subscriptions" can come and go while
    // the header shows the rest.
    auto *toolbar = new QWidget;
    toolbar->setObjectName(QStringLiteral("servers-toolbar"));
    auto *layout = new QHBoxLayout(toolbar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    m_updateButton = toolbarButton(
        IconName::updateSubscriptions, tr("Update subscriptions"), tr("Updates all subscriptions"), toolbar);
    connect(m_updateButton, &QToolButton::clicked, this, &ServersScreen::updateAllSubscriptions);
    auto *check = toolbarButton(IconName::refresh, tr("Check status"), tr("Check status of all servers"), toolbar);
    connect(check, &QToolButton::clicked, this, [this] { checkStatuses(m_groups.allServers()); });
    auto *add = toolbarButton(IconName::add, tr("Add server"), tr("Add new server"), toolbar);
    connect(add, &QToolButton::clicked, this, &ServersScreen::addServersRequested);
    layout->addWidget(m_updateButton);
    layout->addWidget(check);
    layout->addWidget(add);

    const auto showUpdate = [this] { m_updateButton->setVisible(!m_groups.subscriptions().isEmpty()); };
    connect(&m_groups, &GroupCollection::subscriptionsChanged, this, showUpdate);
    showUpdate();
    return toolbar;
}

QList<ServerPtr> ServersScreen::highlightedServers() const
{
    QSet<QUuid> visible;
    for (const QModelIndex &index : m_list->selectionModel()->selectedRows())
        visible.insert(index.data(CatalogueItemModel::IdRole).toUuid());
    QList<ServerPtr> servers;
    if (visible.isEmpty())
        return servers;
    for (const ServerPtr &server : m_groups.allServers()) {
        if (visible.contains(server->id()))
            servers.append(server);
    }
    return servers;
}

void ServersScreen::connectServer(const ServerPtr &server)
{
    // The main view sees the new selection and hands it to the tunnel; nothing connects here.
    m_groups.setSelectedServer(server);
    m_groups.save();
}

void ServersScreen::setCurrentOperation(CurrentOperation operation)
{
    m_currentOp = operation;
    switch (operation) {
    case CurrentOperation::none:
        m_progress->hide();
        break;
    case CurrentOperation::updatingSubscription:
        m_progressText->setText(tr("Updating subscriptions..."));
        m_progress->show();
        break;
    case CurrentOperation::checkingStatus:
        m_progressText->setText(tr("Checking status..."));
        m_progress->show();
        break;
    }
    Q_EMIT currentOperationChanged();
}

void ServersScreen::updateAllSubscriptions()
{
    setCurrentOperation(CurrentOperation::updatingSubscription);
    QCoro::connect(updateSubscriptions(m_groups, true, m_loader), this,
        [this](const SubscriptionUpdateResults &results) { showSubscriptionUpdateResults(results); });
}

void ServersScreen::showSubscriptionUpdateResults(const SubscriptionUpdateResults &results)
{
    m_subUpdateErrors = results;
    setCurrentOperation(CurrentOperation::none);
    QSet<QUuid> failed;
    for (auto it = results.errors.cbegin(); it != results.errors.cend(); ++it)
        failed.insert(it.key());
    m_list->rowDelegate()->setFailedGroups(failed);
    m_list->viewport()->update();
    if (results.errors.isEmpty())
        return;
    // The first failure in the list's order, so the same failures always show the same message.
    ErrorPtr first = results.errors.cbegin().value();
    for (const ServerGroupPtr &group : m_groups.subscriptions()) {
        if (const auto found = results.errors.constFind(group->id()); found != results.errors.cend()) {
            first = found.value();
            break;
        }
    }
    m_alert->show(tr("Some subscriptions failed to update"), first ? first->description() : QString());
}

void ServersScreen::checkStatuses(const QList<ServerPtr> &servers)
{
    const QPointer<ServersScreen> self(this);
    QCoro::connect(::checkStatuses(servers, m_probe,
                       [self](bool checking) {
                           if (self)
                               self->setCurrentOperation(
                                   checking ? CurrentOperation::checkingStatus : CurrentOperation::none);
                       }),
        this, [] {});
}

ServerPtr ServersScreen::serverAt(const QModelIndex &index) const
{
    return m_catalogue->serverAt(m_filter->mapToSource(index));
}

ServerGroupPtr ServersScreen::groupAt(const QModelIndex &index) const
{
    return m_catalogue->groupAt(m_filter->mapToSource(index));
}

void ServersScreen::showContextMenu(QPoint position)
{
    if (m_menu)
        m_menu->close();
    QModelIndex index = m_list->indexAt(position);
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("servers-context-menu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);

    if (const ServerGroupPtr group = groupAt(index)) {
        if (group->isManual()) {
            delete menu;
            return;
        }
        menu->addAction(tr("Edit Subscription..."), this, [this, group] { Q_EMIT editSubscriptionRequested(group); });
    } else {
        // The menu acts on the highlighted rows; the row under the pointer leads them.
        const QList<ServerPtr> highlighted = highlightedServers();
        ServerPtr server = m_list->selectionModel()->isSelected(index) ? serverAt(index) : nullptr;
        if (!server && !highlighted.isEmpty())
            server = highlighted.first();
        if (!server) {
            delete menu;
            return;
        }
        menu->addAction(tr("Connect"), this, [this, server] { connectServer(server); });
        menu->addAction(tr("Check online status"), this, [this, highlighted] { checkStatuses(highlighted); });
        menu->addSeparator();
        QAction *details
            = menu->addAction(tr("Details..."), this, [this, server] { Q_EMIT editServerRequested(server); });
        details->setEnabled(highlighted.size() <= 1);
        QAction *show
            = menu->addAction(tr("Show Server Details"), this, [this, server] { Q_EMIT detailsRequested(server); });
        show->setEnabled(highlighted.size() <= 1);
    }
    m_menu = menu;
    menu->popup(m_list->viewport()->mapToGlobal(position));
}

void ServersScreen::connectHighlighted()
{
    const QList<ServerPtr> highlighted = highlightedServers();
    if (highlighted.size() == 1)
        connectServer(highlighted.first());
}

void ServersScreen::rememberHighlight(const QItemSelection &selected, const QItemSelection &deselected)
{
    if (m_filtering)
        return;
    for (const QModelIndex &index : deselected.indexes())
        m_highlighted.remove(index.data(CatalogueItemModel::IdRole).toUuid());
    for (const QModelIndex &index : selected.indexes())
        m_highlighted.insert(index.data(CatalogueItemModel::IdRole).toUuid());
}

void ServersScreen::applyFilter(const QString &text)
{
    m_filtering = true;
    m_filter->setFilterText(text);
    restoreHighlight();
    m_filtering = false;
}

void ServersScreen::restoreHighlight()
{
    QItemSelection selection;
    if (!m_highlighted.isEmpty()) {
        // One pass over the catalogue, joining neighbouring rows into one range.
        for (int groupRow = 0; groupRow < m_catalogue->rowCount(); ++groupRow) {
            const QModelIndex group = m_catalogue->index(groupRow, 0);
            const ServerGroupPtr servers = m_catalogue->groupAt(group);
            // Mapping a row of a group the filter hides would leave the proxy a mapping for that
            // group, and a matching server added to it later would then stay hidden.
            if (!servers || !m_filter->mapFromSource(group).isValid())
                continue;
            QModelIndex first;
            QModelIndex last;
            const auto flush = [&] {
                if (first.isValid())
                    selection.select(first, last);
                first = last = {};
            };
            for (qsizetype row = 0; row < servers->servers().size(); ++row) {
                if (!m_highlighted.contains(servers->servers().at(row)->id())) {
                    flush();
                    continue;
                }
                const QModelIndex shown = m_filter->mapFromSource(m_catalogue->index(int(row), 0, group));
                if (!shown.isValid()) {
                    flush();
                    continue;
                }
                if (last.isValid() && shown.row() != last.row() + 1)
                    flush();
                if (!first.isValid())
                    first = shown;
                last = shown;
            }
            flush();
        }
    }
    m_list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}
