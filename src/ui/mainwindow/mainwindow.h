#pragma once

#include "app/catalogue/servergroup.h"

#include <QMainWindow>

class GroupCollection;
class ScreenStack;
class SettingsAccess;
class SubscriptionUsageStore;
class SubscriptionLoader;
class SystemExtensionManager;
class VPNManager;

// The main window and its navigation: the welcome screen while nothing is selected, the main view
// otherwise, and the screens and sheets they ask for. Screens only say what they want; the window
// decides where it opens.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    // Whether the stored catalogue has been read yet: until it is, the window shows neither the
    // welcome screen nor the main view, so a user with servers never sees "Welcome" flash by.
    enum class Catalogue { inPlace, loading };

    // Every model must outlive the window.
    MainWindow(GroupCollection &groups, VPNManager &vpn, SystemExtensionManager &extensions, SettingsAccess &settings,
        SubscriptionLoader &subscriptions, Catalogue catalogue = Catalogue::inPlace, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(MainWindow)

    ScreenStack *stack() const { return m_stack; }
    // The subscriptions' usage figures the servers list shows; none until set. Must outlive the window.
    void setUsages(const SubscriptionUsageStore *usages) { m_usages = usages; }

    // Shows the window, restores it when minimised and brings it to the front.
    void present();
    // The stored catalogue has been read: the root screen can be chosen.
    void catalogueInPlace();

    // What the screens ask for; their signals lead here.
    void openAddServers();
    void openServersList();
    void openServerDetails(const ServerPtr &server);
    void openServerEditor(const ServerPtr &server);
    void openEditSheet(const ServerPtr &server);
    void openSubscriptionEditor(const ServerGroupPtr &group);

Q_SIGNALS:
    // The window appeared for the first time.
    void firstShown();
    void settingsRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    // The root follows whether a server is selected; a new selection alone keeps the main view.
    void showRoot();

    GroupCollection &m_groups;
    const SubscriptionUsageStore *m_usages = nullptr;
    VPNManager &m_vpn;
    SystemExtensionManager &m_extensions;
    SettingsAccess &m_settings;
    SubscriptionLoader &m_subscriptions;
    ScreenStack *m_stack;
    enum class Root { placeholder, welcome, mainView };

    bool m_catalogueInPlace;
    Root m_root = Root::placeholder;
    bool m_shown = false;
};
