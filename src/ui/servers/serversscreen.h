#pragma once

#include "app/catalogue/servergroup.h"
#include "app/catalogue/subscriptionrefresh.h"
#include "ui/common/screenstack.h"

#include <QItemSelection>
#include <QPointer>
#include <QSet>
#include <QUuid>

class Alert;
class CatalogueFilterModel;
class CatalogueItemModel;
class GroupCollection;
class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;
class ServersListView;
class StatusProbe;
class SubscriptionLoader;
class SubscriptionUsageStore;

// The catalogue as a list: one section per subscription and "My servers", rows the user highlights,
// connects to, checks and opens; a toolbar to refresh subscriptions, check every server and add
// servers; a filter field. Other screens are asked for through signals.
class ServersScreen final : public Screen {
    Q_OBJECT

public:
    enum class CurrentOperation { none, updatingSubscription, checkingStatus };
    Q_ENUM(CurrentOperation)

    // All three must outlive the screen.
    ServersScreen(GroupCollection &groups, StatusProbe &probe, SubscriptionLoader &loader, QWidget *parent = nullptr);
    ~ServersScreen() override;

    // The subscriptions' usage figures, shown in their headings; none until set.
    void setUsages(const SubscriptionUsageStore *usages);
    Q_DISABLE_COPY_MOVE(ServersScreen)

    CurrentOperation currentOperation() const { return m_currentOp; }
    // The highlighted servers in the catalogue's order, those hidden by the filter left out.
    QList<ServerPtr> highlightedServers() const;
    // Errors of the last forced refresh, by the id of the group that failed.
    const SubscriptionUpdateResults &subscriptionUpdateErrors() const { return m_subUpdateErrors; }

    ServersListView *list() const { return m_list; }
    QLineEdit *filterField() const { return m_filterField; }
    Alert *alert() const { return m_alert; }
    // The open context menu, if any.
    QMenu *contextMenu() const;

    // The list's actions, as its controls run them.
    void connectServer(const ServerPtr &server);
    void updateAllSubscriptions();
    void checkStatuses(const QList<ServerPtr> &servers);

Q_SIGNALS:
    void addServersRequested();
    // The edit-server sheet for this server.
    void editServerRequested(const ServerPtr &server);
    // The details screen of this server, pushed on the window's stack.
    void detailsRequested(const ServerPtr &server);
    // The subscription form, for editing this group.
    void editSubscriptionRequested(const ServerGroupPtr &group);
    void currentOperationChanged();

private:
    QWidget *buildToolbar();
    void setCurrentOperation(CurrentOperation operation);
    void showSubscriptionUpdateResults(const SubscriptionUpdateResults &results);
    void showContextMenu(QPoint position);
    void connectHighlighted();
    void applyFilter(const QString &text);
    void rememberHighlight(const QItemSelection &selected, const QItemSelection &deselected);
    void restoreHighlight();
    ServerPtr serverAt(const QModelIndex &index) const;
    ServerGroupPtr groupAt(const QModelIndex &index) const;

    GroupCollection &m_groups;
    StatusProbe &m_probe;
    SubscriptionLoader &m_loader;
    CatalogueItemModel *m_catalogue;
    CatalogueFilterModel *m_filter;
    ServersListView *m_list;
    QLineEdit *m_filterField;
    QWidget *m_progress;
    QLabel *m_progressText;
    QToolButton *m_updateButton = nullptr;
    Alert *m_alert;
    QPointer<QMenu> m_menu;

    CurrentOperation m_currentOp = CurrentOperation::none;
    SubscriptionUpdateResults m_subUpdateErrors;
    // Highlighted server ids, hidden ones included: the filter hides rows, it does not forget them.
    QSet<QUuid> m_highlighted;
    bool m_filtering = false;
};
