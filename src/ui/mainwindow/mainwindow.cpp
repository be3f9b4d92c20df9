#include "ui/mainwindow/mainwindow.h"

#include "app/catalogue/groupcollection.h"
#include "app/forms/serveraddeditviewmodel.h"
#include "app/tunnel/vpnmanager.h"
#include "ui/common/screenstack.h"
#include "ui/forms/importscreens.h"
#include "ui/forms/serverformscreen.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/mainwindow/mainview.h"
#include "ui/servers/serverdetailsscreen.h"
#include "ui/servers/serversscreen.h"
#include "ui/welcome/welcomescreen.h"

MainWindow::MainWindow(GroupCollection &groups, VPNManager &vpn, SystemExtensionManager &extensions,
    SettingsAccess &settings, SubscriptionLoader &subscriptions, Catalogue catalogue, QWidget *parent)
    : QMainWindow(parent)
    , m_groups(groups)
    , m_vpn(vpn)
    , m_extensions(extensions)
    , m_settings(settings)
    , m_subscriptions(subscriptions)
    , m_stack(new ScreenStack(this))
    , m_catalogueInPlace(catalogue == Catalogue::inPlace)
{
    setObjectName(QStringLiteral("main-window"));
    setWindowTitle(QStringLiteral("Wrenlow"));
    setCentralWidget(m_stack);
    resize(420, 570);
    connect(&m_groups, &GroupCollection::selectedServerChanged, this, &MainWindow::showRoot);
    showRoot();
}

void MainWindow::present()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    Q_EMIT firstShown();
}

void MainWindow::catalogueInPlace()
{
    if (std::exchange(m_catalogueInPlace, true))
        return;
    showRoot();
}

void MainWindow::showRoot()
{
    const Root wanted = !m_catalogueInPlace ? Root::placeholder
        : m_groups.selectedServer()         ? Root::mainView
                                            : Root::welcome;
    if (m_stack->root() && wanted == m_root)
        return;
    m_root = wanted;
    if (wanted == Root::placeholder) {
        m_stack->setRoot(new Screen);
        return;
    }
    if (wanted == Root::welcome) {
        auto *welcome = new WelcomeScreen;
        connect(welcome, &WelcomeScreen::addServersRequested, this, &MainWindow::openAddServers);
        m_stack->setRoot(welcome);
        return;
    }
    auto *view = new MainView(m_groups, m_vpn, m_extensions, m_settings, m_subscriptions);
    connect(view, &MainView::serversListRequested, this, &MainWindow::openServersList);
    connect(view, &MainView::settingsRequested, this, &MainWindow::settingsRequested);
    m_stack->setRoot(view);
}

void MainWindow::openAddServers()
{
    AddServerSheet::open(m_groups, m_subscriptions, this);
}

void MainWindow::openServersList()
{
    auto *list = new ServersScreen(m_groups, m_vpn, m_subscriptions);
    list->setUsages(m_usages);
    connect(list, &ServersScreen::addServersRequested, this, &MainWindow::openAddServers);
    connect(list, &ServersScreen::editServerRequested, this, &MainWindow::openEditSheet);
    connect(list, &ServersScreen::detailsRequested, this, &MainWindow::openServerDetails);
    connect(list, &ServersScreen::editSubscriptionRequested, this, &MainWindow::openSubscriptionEditor);
    m_stack->push(list);
}

void MainWindow::openServerDetails(const ServerPtr &server)
{
    auto *details = new ServerDetailsScreen(server, m_vpn);
    connect(details, &ServerDetailsScreen::editRequested, this, &MainWindow::openServerEditor);
    m_stack->push(details);
}

void MainWindow::openServerEditor(const ServerPtr &server)
{
    m_stack->push(new ServerFormScreen(new ServerAddEditViewModel(ServerOperations::Edit { server }), m_groups));
}

void MainWindow::openEditSheet(const ServerPtr &server)
{
    EditServerSheet::open(server, m_groups, this);
}

void MainWindow::openSubscriptionEditor(const ServerGroupPtr &group)
{
    SubscriptionScreen::pushForEditing(*m_stack, group, m_groups, m_subscriptions)->setTitle(tr("Edit subscription"));
}
