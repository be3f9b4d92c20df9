#include "../uitesting.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/common/screenstack.h"
#include "ui/common/sheet.h"
#include "ui/forms/serverformscreen.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/mainwindow/mainview.h"
#include "ui/mainwindow/mainwindow.h"
#include "ui/servers/serverdetailsscreen.h"
#include "ui/servers/serversscreen.h"
#include "ui/welcome/welcomescreen.h"

using namespace Qt::StringLiterals;

// The main window over an empty catalogue still being read, the fake tunnel layer and a fake activation.
struct WindowFixture : TestCatalogue {
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    FakeExtensionActivation activation;
    int profileLoads = 0;
    SystemExtensionManager extensions { activation, [this] { ++profileLoads; } };
    FixedSettings settings;
    SubscriptionLoader loader;
    MainWindow window { groups, vpn, extensions, settings, loader, MainWindow::Catalogue::loading };

    ScreenStack &stack() const { return *window.stack(); }
    template <typename T> T *top() const { return qobject_cast<T *>(stack().top()); }
};

class MainWindowTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Neither root while the catalogue is read; then the main view while a server is selected, the
    // welcome screen otherwise, which offers to add servers. A new selection keeps the view and what is
    // stacked over it.
    // Activation is asked for once, when the window first shows the main view, even minimised;
    // presenting the window brings it back; only a successful activation loads the profile.
    void rootFollowsTheSelection()
    {
        WindowFixture f;
        f.window.showMinimized();
        const ServerPtr first = makeTestServer(u"First"_s);
        f.groups.addServer(first);
        QVERIFY(!f.top<MainView>());
        QVERIFY(!f.top<WelcomeScreen>());
        QCOMPARE(f.activation.submits, 0);
        f.window.catalogueInPlace();
        MainView *view = f.top<MainView>();
        QVERIFY(view);
        QCOMPARE(f.activation.submits, 1);
        f.window.present();
        QTRY_VERIFY(!f.window.isMinimized());
        f.window.hide();
        f.window.present();
        QCOMPARE(f.activation.submits, 1);
        QCOMPARE(f.profileLoads, 0);
        Q_EMIT f.activation.finished(0);
        QTRY_COMPARE(f.profileLoads, 1);

        f.window.openServersList();
        const ServerPtr second = makeTestServer(u"Second"_s);
        f.groups.addServer(second);
        f.groups.setSelectedServer(second);
        QCOMPARE(f.stack().root(), view);
        QCOMPARE(f.stack().depth(), 2);

        f.groups.removeServer(*first);
        f.groups.removeServer(*second);
        QCOMPARE(f.stack().depth(), 1);
        auto *welcome = f.top<WelcomeScreen>();
        QVERIFY(welcome);
        Q_EMIT welcome->addServersRequested();
        QVERIFY(f.window.findChild<Sheet *>());
    }

    // Each screen's request opens what it names, on the window's stack.
    void navigation()
    {
        WindowFixture f;
        const ServerPtr server = makeTestServer(u"First"_s);
        f.groups.addServer(server);
        f.window.catalogueInPlace();
        f.window.show();

        Q_EMIT f.top<MainView>()->serversListRequested();
        auto *list = f.top<ServersScreen>();
        QVERIFY(list);
        Q_EMIT list->detailsRequested(server);
        auto *details = f.top<ServerDetailsScreen>();
        QVERIFY(details);
        QCOMPARE(details->server(), server);
        Q_EMIT details->editRequested(server);
        QVERIFY(f.top<ServerFormScreen>());
        QCOMPARE(f.stack().depth(), 4);

        f.stack().popToRoot();
        f.window.openServersList();
        const auto group = std::make_shared<ServerGroup>(
            SubscriptionType { u"Provider"_s, u"https://sub.example/list"_s, true }, QList<ServerPtr>());
        Q_EMIT f.top<ServersScreen>()->editSubscriptionRequested(group);
        auto *editor = f.top<SubscriptionScreen>();
        QVERIFY(editor);
        QCOMPARE(editor->title(), u"Edit subscription"_s);
    }
};

WRENLOW_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
