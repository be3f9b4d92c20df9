#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/settings/settingsaccess.h"
#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/defaultsstore.h"
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

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct FixedSettings final : SettingsAccess {
    AppSettings value;
    const AppSettings &settings() const override { return value; }
    void setSettings(const AppSettings &settings) override { value = settings; }
    void saveSettings() override { }
};

} // namespace

// The main window over an empty catalogue, the fake tunnel layer and a fake activation.
struct WindowFixture {
    QTemporaryDir dir;
    DefaultsStore store { dir.filePath(u"store"_s) };
    GroupCollection groups { store };
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
    void rootFollowsTheSelection()
    {
        WindowFixture fixture;
        fixture.window.show();
        QVERIFY(fixture.top<WelcomeScreen>());
        QCOMPARE(fixture.activation.submits, 0);

        const ServerPtr first = makeTestServer(u"First"_s);
        fixture.groups.addServer(first);
        MainView *view = fixture.top<MainView>();
        QVERIFY(view);
        // The main view asks for the tunnel program once it is on screen.
        QCOMPARE(fixture.activation.submits, 1);

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

    // Activation is asked for once, when the window first shows the main view; presenting a
    // minimised window brings it back; only a successful activation loads the profile.
    void activationOnFirstShow()
    {
        WindowFixture shown;
        shown.groups.addServer(makeTestServer(u"First"_s));
        QCOMPARE(shown.activation.submits, 0);
        shown.window.showMinimized();
        QCOMPARE(shown.activation.submits, 1);
        shown.window.present();
        QTRY_VERIFY(!shown.window.isMinimized());
        shown.window.hide();
        shown.window.present();
        QCOMPARE(shown.activation.submits, 1);
        QCOMPARE(shown.profileLoads, 0);
        Q_EMIT shown.activation.finished(0);
        QTRY_COMPARE(shown.profileLoads, 1);
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
