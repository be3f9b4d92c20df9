#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

class GroupCollection;
class LoginItem;
class QListWidget;
class ScreenStack;
class SettingsAccess;
class SettingsActionScheduler;
class SubscriptionLoader;
class SubscriptionUsageStore;
class VPNManager;

// The settings window: a sidebar of pages and the chosen page beside it under its title. A page is
// made anew each time it is chosen, so it shows the settings as they are now.
class SettingsWindow final : public QWidget {
    Q_OBJECT

public:
    struct Services {
        SettingsAccess &settings;
        SettingsActionScheduler &scheduler;
        LoginItem &loginItem;
        GroupCollection &groups;
        SubscriptionLoader &loader;
        VPNManager &vpn;
        // The providers' figures the Subscriptions page shows; may be null.
        const SubscriptionUsageStore *usages;
        QString versionText;
        // What the transparent proxy still needs on this machine; empty when nothing.
        QString transparentRequirement;
    };

    explicit SettingsWindow(Services services, QWidget *parent = nullptr);

    // Shows the window and brings it to the front; an open window keeps its page.
    void present();
    // The id of the page shown ("General", "Network", ...).
    QString selectedSection() const;
    void selectSection(const QString &id);
    // The page at the root of the detail, and the title of the screen on top.
    QWidget *page() const;
    QString pageTitle() const;

private:
    void showSection(const QString &id);

    Services m_services;
    QListWidget *m_sidebar;
    // The chosen page is its root; the routing page pushes its lists onto it.
    ScreenStack *m_stack;
    QPointer<QWidget> m_page;
};
