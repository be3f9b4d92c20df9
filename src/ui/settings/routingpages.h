#pragma once

#include "app/settings/domainlistviewmodel.h"
#include "ui/common/screenstack.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QVBoxLayout;
class RoutingSettingsViewModel;
class SettingsAccess;
class SettingsActionScheduler;
class Sheet;

// The Routing page: the GeoIP switch with the link to its regions, and the links to the direct and
// block domain lists. Each list opens in an editor of its own, filled from the settings then.
class RoutingSettingsPage final : public QWidget {
    Q_OBJECT

public:
    RoutingSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler, QWidget *parent = nullptr);

private:
    void openDomains(DomainListViewModel::ListType type);

    SettingsAccess &m_settings;
    SettingsActionScheduler &m_scheduler;
    RoutingSettingsViewModel *m_model;
};

// One domain list being edited: a text field and a rule type per row. Return in a field, or leaving
// the editor, stores the list; adding, removing and the rule types only change the rows until then.
class DomainListScreen final : public Screen {
    Q_OBJECT

public:
    // Takes the model over.
    explicit DomainListScreen(DomainListViewModel *model, QWidget *parent = nullptr);
    ~DomainListScreen() override;
    Q_DISABLE_COPY_MOVE(DomainListScreen)

    DomainListViewModel &model() const { return *m_model; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void rebuildRows(const QUuid &focus = {});
    void updateRemove();
    // Replaces one row of the model without rebuilding the rows being typed in.
    void changeRow(const QUuid &id, const std::function<void(DomainItem &)> &change);

    DomainListViewModel *m_model;
    QListWidget *m_rows;
    QLabel *m_empty;
    QPushButton *m_remove;
    bool m_changingRow = false;
};

// The regions whose traffic goes direct while GeoIP routing is on, on the Routing page's model.
class RegionsScreen final : public Screen {
    Q_OBJECT

public:
    explicit RegionsScreen(RoutingSettingsViewModel &model, QWidget *parent = nullptr);

    // Opens the sheet that picks a region from the catalogue.
    Sheet *openAddRegion();

private:
    void rebuild();

    RoutingSettingsViewModel &m_model;
    QListWidget *m_regions;
    QPushButton *m_remove;
};
