#pragma once

#include "core/catalogue/server.h"

#include <QCoroTask>
#include <QList>
#include <QObject>

#include <functional>
#include <memory>

class GroupCollection;
class QAction;
class QMenu;
class QSystemTrayIcon;
class ServerGroup;
class UpdateChecker;
class VPNManager;

// The program's presence in the system tray: an icon that shows whether the tunnel is connected,
// and a menu to connect and disconnect, switch servers, check for updates, open the windows and
// quit without the main window.
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    // Connects to the selected server; failures are the function's to report.
    using ConnectFunction = std::function<QCoro::Task<>()>;

    // The models and the checker must outlive the icon.
    TrayIcon(VPNManager &vpn, GroupCollection &groups, UpdateChecker &updates, ConnectFunction connectToSelected,
        QObject *parent = nullptr);
    ~TrayIcon() override;
    Q_DISABLE_COPY_MOVE(TrayIcon)

    QMenu *menu() const { return m_menu; }
    // Filled each time it is about to show, from the catalogue as it is then.
    QMenu *serversMenu() const { return m_serversMenu; }
    // Whether the icon shows the connected image.
    bool showsConnected() const { return m_showsConnected; }
    void show();
    // A problem the user should know of, as a notification beside the icon.
    void showProblem(const QString &title, const QString &message);

    // Above this many servers the Servers menu holds one submenu per group, each filled when it
    // opens, and a long group is split into submenus of this many servers: a menu of 20,000 rows
    // takes seconds to lay out and cannot be scrolled through anyway.
    static constexpr qsizetype flatMenuLimit = 250;

Q_SIGNALS:
    void openMainWindowRequested();
    void settingsRequested();
    void quitRequested();

private:
    void showStatus();
    void showCatalogueState();
    void fillServersMenu();
    void addServerItems(QMenu *menu, const QList<ServerPtr> &servers, qsizetype first, qsizetype count);
    void addGroupMenu(QMenu *menu, const std::shared_ptr<ServerGroup> &group, const QString &title);
    void serverChosen(QAction *action);

    VPNManager &m_vpn;
    GroupCollection &m_groups;
    UpdateChecker &m_updates;
    ConnectFunction m_connect;

    QMenu *m_menu;
    QMenu *m_serversMenu;
    QSystemTrayIcon *m_icon;
    bool m_showsConnected = false;
    // The items of the catalogue part, shown only while the catalogue holds a server.
    QList<QAction *> m_catalogueItems;
    QAction *m_status;
    QAction *m_connectAction;
    QAction *m_disconnect;
    QAction *m_checkForUpdates;
};
