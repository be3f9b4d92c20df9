#include "../uitesting.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/common/screenstack.h"
#include "ui/forms/serverformscreen.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/mainwindow/mainview.h"
#include "ui/mainwindow/mainwindow.h"
#include "ui/servers/serverdetailsscreen.h"
#include "ui/servers/serversscreen.h"
#include "ui/welcome/welcomescreen.h"

using namespace Qt::StringLiterals;

// The main window over an empty catalogue, the fake tunnel layer and a fake activation.
struct WindowFixture : TestCatalogue {
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    FakeExtensionActivation activation;
    int profileLoads = 0;
    SystemExtensionManager extensions { activation, [this] { ++profileLoads; } };
    FixedSettings settings;
    SubscriptionLoader loader;
    MainWindow window { groups, vpn, extensions, settings, loader };

    ScreenStack &stack() const { return *window.stack(); }
    template <typename T> T *top() const { return qobject_cast<T *>(stack().top()); }
};

class MainWindowTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The welcome screen while nothing is selected, the main view otherwise; a new selection keeps
    // the view and what is stacked over it, losing the last server goes back to the welcome screen.
    // Activation is asked for once, when the window first shows the main view, even minimised;
    // presenting the window brings it back; only a successful activation loads the profile.
    void rootFollowsTheSelection()
    {
        WindowFixture fixture;
        fixture.window.showMinimized();
        QVERIFY(fixture.top<WelcomeScreen>());
        QCOMPARE(fixture.activation.submits, 0);

        const ServerPtr first = makeTestServer(u"First"_s);
        fixture.groups.addServer(first);
        MainView *view = fixture.top<MainView>();
        QVERIFY(view);
        QCOMPARE(fixture.activation.submits, 1);
        fixture.window.present();
        QTRY_VERIFY(!fixture.window.isMinimized());
        fixture.window.hide();
        fixture.window.present();
        QCOMPARE(fixture.activation.submits, 1);
        QCOMPARE(fixture.profileLoads, 0);
        Q_EMIT fixture.activation.finished(0);
        QTRY_COMPARE(fixture.profileLoads, 1);

        fixture.window.openServersList();
        const ServerPtr second = makeTestServer(u"Second"_s);
        fixture.groups.addServer(second);
        fixture.groups.setSelectedServer(second);
        QCOMPARE(fixture.stack().root(), view);
        QCOMPARE(fixture.stack().depth(), 2);

        fixture.groups.removeServer(*first);
        fixture.groups.removeServer(*second);
        QVERIFY(fixture.top<WelcomeScreen>());
        QCOMPARE(fixture.stack().depth(), 1);
    }

    // While the stored catalogue is being read the window shows neither root; then the one it calls for.
    void rootWaitsForTheCatalogue()
    {
        WindowFixture fixture;
        MainWindow window(fixture.groups, fixture.vpn, fixture.extensions, fixture.settings, fixture.loader,
            MainWindow::Catalogue::loading);
        fixture.groups.addServer(makeTestServer(u"First"_s));
        QVERIFY(!qobject_cast<MainView *>(window.stack()->root()));
        QVERIFY(!qobject_cast<WelcomeScreen *>(window.stack()->root()));
        window.catalogueInPlace();
        QVERIFY(qobject_cast<MainView *>(window.stack()->root()));
    }

    // Each screen's request opens what it names, on the window's stack.
    void navigation()
    {
        WindowFixture fixture;
        const ServerPtr server = makeTestServer(u"First"_s);
        fixture.groups.addServer(server);
        fixture.window.show();

        Q_EMIT fixture.top<MainView>()->serversListRequested();
        auto *list = fixture.top<ServersScreen>();
        QVERIFY(list);
        Q_EMIT list->detailsRequested(server);
        auto *details = fixture.top<ServerDetailsScreen>();
        QVERIFY(details);
        QCOMPARE(details->server(), server);
        Q_EMIT details->editRequested(server);
        QVERIFY(fixture.top<ServerFormScreen>());
        QCOMPARE(fixture.stack().depth(), 4);

        fixture.stack().popToRoot();
        fixture.window.openServersList();
        const auto group = std::make_shared<ServerGroup>(
            SubscriptionType { u"Provider"_s, u"https://sub.example/list"_s, true }, QList<ServerPtr>());
        Q_EMIT fixture.top<ServersScreen>()->editSubscriptionRequested(group);
        auto *editor = fixture.top<SubscriptionScreen>();
        QVERIFY(editor);
        QCOMPARE(editor->title(), u"Edit subscription"_s);
    }
};

WRENLOW_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
