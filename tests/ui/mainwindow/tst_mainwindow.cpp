#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/mainwindow/mainwindow.h"

#include <QLabel>
#include <QTest>

using namespace Qt::StringLiterals;

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
    // The tunnel program is activated when the window first appears, once, and only a successful
    // activation loads the profile; presenting a minimised window brings it back.
    void activationOnFirstShow()
    {
        WindowFixture fixture;
        fixture.window.showMinimized();
        QCOMPARE(fixture.activation.submits, 1);
        fixture.window.present();
        QTRY_VERIFY(!fixture.window.isMinimized());
        QCOMPARE(fixture.text(u"activation-status"_s), u"Initializing system extension..."_s);
        fixture.window.hide();
        fixture.window.present();
        QCOMPARE(fixture.activation.submits, 1);
        QCOMPARE(fixture.profileLoads, 0);
        Q_EMIT fixture.activation.finished(0);
        QTRY_COMPARE(fixture.profileLoads, 1);
        QVERIFY(fixture.window.findChild<QLabel *>(u"activation-status"_s)->isHidden());
    }
};

WRENLOW_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
