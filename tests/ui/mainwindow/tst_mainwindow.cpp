#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/mainwindow/mainwindow.h"
#include "ui/tray/trayicon.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(VPNStatus)

// The main window over a VPN manager on the fake tunnel layer and a fake activation.
struct WindowFixture {
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    FakeExtensionActivation activation;
    int profileLoads = 0;
    SystemExtensionManager extensions { activation, [this] { ++profileLoads; } };
    MainWindow window { vpn, extensions };

    QString text(const QString &name) const { return window.findChild<QLabel *>(name)->text(); }
};

class MainWindowTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void trayMenuOpensAndQuits_data()
    {
        QTest::addColumn<QString>("actionText");
        QTest::addColumn<bool>("opens");
        QTest::newRow("open") << QStringLiteral("Open Wrenlow") << true;
        QTest::newRow("quit") << QStringLiteral("Quit") << false;
    }

    void trayMenuOpensAndQuits()
    {
        QFETCH(QString, actionText);
        QFETCH(bool, opens);
        TrayIcon tray;
        QSignalSpy openSpy(&tray, &TrayIcon::openMainWindowRequested);
        QSignalSpy quitSpy(&tray, &TrayIcon::quitRequested);
        QAction *action = nullptr;
        for (auto *candidate : tray.menu()->actions()) {
            if (candidate->text() == actionText)
                action = candidate;
        }
        QVERIFY(action);
        action->trigger();
        QCOMPARE(openSpy.count(), opens ? 1 : 0);
        QCOMPARE(quitSpy.count(), opens ? 0 : 1);
    }

    // Presenting a minimised window must bring it back, not leave it in the task bar.
    void presentRestoresMinimisedWindow()
    {
        WindowFixture fixture;
        fixture.window.showMinimized();
        fixture.window.present();
        QVERIFY(fixture.window.isVisible());
        QTRY_VERIFY(!fixture.window.isMinimized());
    }

    // The tunnel program is activated when the window first appears, once, and only a successful
    // activation loads the profile.
    void activationOnFirstShow()
    {
        WindowFixture fixture;
        QCOMPARE(fixture.activation.submits, 0);
        fixture.window.present();
        QCOMPARE(fixture.activation.submits, 1);
        QCOMPARE(fixture.text(u"activation-status"_s), u"Initializing system extension..."_s);
        fixture.window.hide();
        fixture.window.present();
        QCOMPARE(fixture.activation.submits, 1);
        QCOMPARE(fixture.profileLoads, 0);
        Q_EMIT fixture.activation.finished(0);
        QTRY_COMPARE(fixture.profileLoads, 1);
        QVERIFY(fixture.window.findChild<QLabel *>(u"activation-status"_s)->isHidden());
    }

    void statusFollowsTheTunnel_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("connected") << VPNStatus::connected << u"Proxy: Connected"_s;
        QTest::newRow("connecting") << VPNStatus::connecting << u"Proxy: Connecting..."_s;
        QTest::newRow("reasserting") << VPNStatus::reasserting << u"Proxy: Reconnecting..."_s;
        QTest::newRow("disconnecting") << VPNStatus::disconnecting << u"Proxy: Disconnecting..."_s;
        QTest::newRow("disconnected") << VPNStatus::disconnected << u"Proxy: Not connected"_s;
    }

    // A tunnel found running at start shows as such, and later changes follow.
    void statusFollowsTheTunnel()
    {
        QFETCH(VPNStatus, status);
        QFETCH(QString, text);
        WindowFixture fixture;
        QCOMPARE(fixture.text(u"vpn-status"_s), u"Proxy: Not connected"_s);
        FakeTunnelConnection &connection = loadSavedTunnel(fixture.platform, fixture.vpn, status);
        QCOMPARE(fixture.text(u"vpn-status"_s), text);
        const bool wasConnected = status == VPNStatus::connected;
        connection.setStatus(wasConnected ? VPNStatus::disconnected : VPNStatus::connected);
        QTRY_COMPARE(fixture.text(u"vpn-status"_s), wasConnected ? u"Proxy: Not connected"_s : u"Proxy: Connected"_s);
    }
};

WRENLOW_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
