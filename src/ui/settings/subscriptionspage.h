#pragma once

#include <QWidget>

class GroupCollection;
class QListView;
class QPushButton;
class Sheet;
class SubscriptionLoader;
class SubscriptionUsageStore;

// The subscriptions of the catalogue in their order: the user rearranges them by dragging, adds,
// removes and edits them. Every change is stored at once.
class SubscriptionsSettingsPage final : public QWidget {
    Q_OBJECT

public:
    // The catalogue and the loader must outlive the page.
    // `usages`: the providers' figures shown beside the names; none when null. All must outlive the page.
    SubscriptionsSettingsPage(GroupCollection &groups, SubscriptionLoader &loader,
        const SubscriptionUsageStore *usages = nullptr, QWidget *parent = nullptr);

    QListView *list() const { return m_list; }

private:
    void updateButtons();
    // The sheet for a new subscription, or for editing the one selected.
    void openForm(bool editSelected);

    GroupCollection &m_groups;
    SubscriptionLoader &m_loader;
    QListView *m_list;
    QPushButton *m_add;
    QPushButton *m_remove;
    QPushButton *m_edit;
};
