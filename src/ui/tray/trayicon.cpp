#include "ui/tray/trayicon.h"

#include "app/catalogue/groupcollection.h"
#include "app/tunnel/vpnmanager.h"
#include "app/updates/updatechecker.h"
#include "core/foundation/log.h"
#include "ui/common/icons.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {

// Which server an item stands for, kept in the item: one connection serves every item.
const char serverProperty[] = "wrenlowServer";

struct ServerRef {
    std::weak_ptr<Server> server;
};

} // namespace

Q_DECLARE_METATYPE(ServerRef)

TrayIcon::TrayIcon(VPNManager &vpn, GroupCollection &groups, UpdateChecker &updates, ConnectFunction connectToSelected,
    QObject *parent)
    : QObject(parent)
    , m_vpn(vpn)
    , m_groups(groups)
    , m_updates(updates)
    , m_connect(std::move(connectToSelected))
    // QMenu is a widget and cannot take a QObject parent; the destructor deletes it.
    , m_menu(new QMenu)
    , m_serversMenu(new QMenu(tr("Servers"), m_menu))
    , m_icon(new QSystemTrayIcon(icon(IconName::trayDisconnected), this))
{
    m_status = m_menu->addAction(QString());
    m_status->setEnabled(false);
    // Names for the end-to-end tests, which drive the menu.
    m_status->setObjectName(QStringLiteral("tray-status"));
    m_catalogueItems.append(m_status);
    m_catalogueItems.append(m_menu->addSeparator());

    m_connectAction = m_menu->addAction(tr("Connect"));
    connect(m_connectAction, &QAction::triggered, this, [this] {
        if (m_connect)
            QCoro::connect(m_connect(), this, [] {});
    });
    m_connectAction->setObjectName(QStringLiteral("tray-connect"));
    m_disconnect = m_menu->addAction(tr("Disconnect"));
    m_disconnect->setObjectName(QStringLiteral("tray-disconnect"));
    connect(m_disconnect, &QAction::triggered, this, [this] {
        // A failure is dropped: the status line keeps showing the real status.
        QCoro::connect(
            [](VPNManager &vpn) -> QCoro::Task<> {
                try {
                    co_await vpn.disableVPN();
                } catch (const std::exception &error) {
                    logError(QStringLiteral("Cannot disable VPN: ") + QString::fromLocal8Bit(error.what()));
                }
            }(m_vpn),
            this, [] {});
    });
    m_catalogueItems.append({ m_connectAction, m_disconnect, m_menu->addSeparator() });

    m_catalogueItems.append(m_menu->addMenu(m_serversMenu));
    connect(m_serversMenu, &QMenu::aboutToShow, this, &TrayIcon::fillServersMenu);
    connect(m_serversMenu, &QMenu::triggered, this, &TrayIcon::serverChosen);
    m_catalogueItems.append(m_menu->addSeparator());

    m_checkForUpdates = m_menu->addAction(tr("Check for Updates…"));
    connect(m_checkForUpdates, &QAction::triggered, &m_updates, &UpdateChecker::checkForUpdates);
    connect(&m_updates, &UpdateChecker::canCheckForUpdatesChanged, this,
        [this] { m_checkForUpdates->setEnabled(m_updates.canCheckForUpdates()); });
    m_checkForUpdates->setEnabled(m_updates.canCheckForUpdates());
    QAction *settings = m_menu->addAction(tr("Settings..."));
    settings->setObjectName(QStringLiteral("tray-settings"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, &TrayIcon::settingsRequested);
    m_catalogueItems.append({ m_checkForUpdates, settings, m_menu->addSeparator() });

    QAction *showWindow = m_menu->addAction(tr("Show"));
    connect(showWindow, &QAction::triggered, this, &TrayIcon::openMainWindowRequested);
    QAction *quit = m_menu->addAction(tr("Quit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setObjectName(QStringLiteral("tray-quit"));
    connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);

    m_icon->setContextMenu(m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            Q_EMIT openMainWindowRequested();
    });

    connect(&m_vpn, &VPNManager::statusChanged, this, &TrayIcon::showStatus);
    // Only whether the catalogue is empty matters here; the servers are read when the menu opens.
    connect(&m_groups, &GroupCollection::subscriptionsChanged, this, &TrayIcon::showCatalogueState);
    connect(m_groups.manualGroup().get(), &ServerGroup::serversChanged, this, &TrayIcon::showCatalogueState);
    connect(m_menu, &QMenu::aboutToShow, this, &TrayIcon::showCatalogueState);
    showStatus();
    showCatalogueState();
}

TrayIcon::~TrayIcon()
{
    delete m_menu;
}

void TrayIcon::show()
{
    m_icon->show();
}

void TrayIcon::showProblem(const QString &title, const QString &message)
{
    m_icon->showMessage(title, message, QSystemTrayIcon::Warning);
}

void TrayIcon::showStatus()
{
    const VPNStatus status = m_vpn.status();
    m_status->setText(tr("Status: ") + VPNManager::statusText(status));
    // Before any profile exists (invalid) there is nothing to start, but a stop does no harm.
    m_connectAction->setEnabled(status == VPNStatus::disconnected);
    m_disconnect->setEnabled(status != VPNStatus::disconnected);
    const bool connected = status == VPNStatus::connected;
    if (connected != m_showsConnected || m_icon->icon().isNull()) {
        m_showsConnected = connected;
        m_icon->setIcon(icon(connected ? IconName::trayConnected : IconName::trayDisconnected));
    }
    m_icon->setToolTip(QStringLiteral("Wrenlow: ") + VPNManager::statusText(status));
}

void TrayIcon::showCatalogueState()
{
    const bool hasServers = !m_groups.isEmpty();
    for (QAction *action : std::as_const(m_catalogueItems))
        action->setVisible(hasServers);
}

void TrayIcon::fillServersMenu()
{
    m_serversMenu->clear();
    const QList<ServerGroupPtr> &subscriptions = m_groups.subscriptions();
    const ServerGroupPtr &manual = m_groups.manualGroup();
    qsizetype total = manual->servers().size();
    for (const auto &group : subscriptions)
        total += group->servers().size();
    const bool flat = total <= flatMenuLimit;

    for (const auto &group : subscriptions) {
        m_serversMenu->addSeparator();
        const QString heading = tr("Subscription: ") + groupName(group->type());
        if (flat) {
            m_serversMenu->addAction(heading)->setEnabled(false);
            addServerItems(m_serversMenu, group->servers(), 0, group->servers().size());
        } else {
            addGroupMenu(m_serversMenu, group, heading);
        }
    }
    if (!manual->servers().isEmpty()) {
        m_serversMenu->addSeparator();
        if (flat)
            addServerItems(m_serversMenu, manual->servers(), 0, manual->servers().size());
        else
            addGroupMenu(m_serversMenu, manual, groupName(manual->type()));
    }
}

void TrayIcon::addGroupMenu(QMenu *menu, const std::shared_ptr<ServerGroup> &group, const QString &title)
{
    QMenu *groupMenu = menu->addMenu(title);
    const ServerPtr &selected = m_groups.selectedServer();
    // The group holding the selection says so, as the flat menu's check mark would.
    if (selected && group->findServer(selected->id())) {
        groupMenu->menuAction()->setCheckable(true);
        groupMenu->menuAction()->setChecked(true);
    }
    const std::weak_ptr<ServerGroup> weak = group;
    connect(groupMenu, &QMenu::aboutToShow, this, [this, groupMenu, weak] {
        groupMenu->clear();
        const ServerGroupPtr group = weak.lock();
        if (!group)
            return;
        const QList<ServerPtr> &servers = group->servers();
        if (servers.size() <= flatMenuLimit) {
            addServerItems(groupMenu, servers, 0, servers.size());
            return;
        }
        for (qsizetype first = 0; first < servers.size(); first += flatMenuLimit) {
            const qsizetype count = std::min(flatMenuLimit, servers.size() - first);
            QMenu *chunk = groupMenu->addMenu(tr("Servers %1–%2").arg(first + 1).arg(first + count));
            connect(chunk, &QMenu::triggered, this, &TrayIcon::serverChosen);
            connect(chunk, &QMenu::aboutToShow, this, [this, chunk, weak, first, count] {
                chunk->clear();
                if (const ServerGroupPtr group = weak.lock())
                    addServerItems(chunk, group->servers(), first, count);
            });
        }
    });
    // A choice made through the desktop's menu also reaches the menus above; choosing is idempotent.
    connect(groupMenu, &QMenu::triggered, this, &TrayIcon::serverChosen);
}

void TrayIcon::addServerItems(QMenu *menu, const QList<ServerPtr> &servers, qsizetype first, qsizetype count)
{
    const ServerPtr &selected = m_groups.selectedServer();
    const qsizetype end = std::min(servers.size(), first + count);
    for (qsizetype i = first; i < end; ++i) {
        const ServerPtr &server = servers[i];
        QAction *action = menu->addAction(server->name() + QStringLiteral(" - ") + protocolName(server->settings()));
        action->setProperty(serverProperty, QVariant::fromValue(ServerRef { server }));
        if (selected && selected->id() == server->id()) {
            action->setCheckable(true);
            action->setChecked(true);
        }
    }
}

void TrayIcon::serverChosen(QAction *action)
{
    const QVariant ref = action->property(serverProperty);
    if (!ref.isValid())
        return;
    const ServerPtr server = ref.value<ServerRef>().server.lock();
    if (!server)
        return;
    const ServerPtr &selected = m_groups.selectedServer();
    if (selected && selected->id() == server->id()) {
        // A checkable item unchecks itself when chosen; the selection stays as it is.
        action->setChecked(true);
        return;
    }
    m_groups.setSelectedServer(server);
    m_groups.save();
}
