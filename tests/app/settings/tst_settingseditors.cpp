#include "app/platform/loginitem.h"
#include "app/settings/dnssettingsviewmodel.h"
#include "app/settings/generalsettingsviewmodel.h"
#include "app/settings/networksettingsviewmodel.h"
#include "appfixture.h"
#include "testregistry.h"

#include <QFile>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

class SettingsEditorsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void portIsStoredOnlyWhenValid_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("stored");
        const qint64 unchanged = 1000;
        QTest::newRow("zero") << u"0"_s << unchanged;
        QTest::newRow("above range") << u"65536"_s << unchanged;
        QTest::newRow("negative") << u"-5"_s << unchanged;
        QTest::newRow("trailing letter") << u"80a"_s << unchanged;
        QTest::newRow("empty") << QString() << unchanged;
        QTest::newRow("sign alone") << u"+"_s << unchanged;
        QTest::newRow("leading space") << u" 80"_s << unchanged;
        QTest::newRow("overflow") << u"99999999999999999999"_s << unchanged;
        QTest::newRow("non-ASCII digits") << u"\u0663\u0661"_s << unchanged;
        QTest::newRow("plus sign") << u"+8080"_s << qint64(8080);
        QTest::newRow("highest") << u"65535"_s << qint64(65535);
        QTest::newRow("lowest") << u"1"_s << qint64(1);
        QTest::newRow("leading zeros") << u"0080"_s << qint64(80);
    }

    void portIsStoredOnlyWhenValid()
    {
        QFETCH(QString, text);
        QFETCH(qint64, stored);
        AppFixture fixture(VPNStatus::disconnected);
        AppSettings settings = fixture.app->settings();
        settings.network.httpProxyPort = 1000;
        fixture.app->setSettings(settings);
        NetworkSettingsViewModel network(*fixture.app, *fixture.scheduler);
        QCOMPARE(network.httpProxyPort(), u"1000"_s);

        network.setHttpProxyPort(text);
        QCOMPARE(fixture.app->settings().network.httpProxyPort, stored);
        QCOMPARE(network.httpProxyPort(), text);
        QCOMPARE(network.address(), u"127.0.0.1:"_s + text);
        if (stored != 1000)
            QCOMPARE(AppSettings::load(fixture.store).network.httpProxyPort, stored);
    }

    void eachFieldIsWrittenAndStored()
    {
        AppFixture fixture(VPNStatus::disconnected);
        LoginItem loginItem(fixture.dir.path() + u"/autostart"_s, u"/usr/bin/wrenlow"_s);
        GeneralSettingsViewModel general(*fixture.app, *fixture.scheduler, loginItem);
        NetworkSettingsViewModel network(*fixture.app, *fixture.scheduler);
        DNSSettingsViewModel dns(*fixture.app, *fixture.scheduler);
        general.setConnectOnStart(true);
        network.setTransparentProxy(false);
        network.setHttpProxy(true);
        network.setSystemProxy(false);
        network.setHttpProxyPort(u"3128"_s);
        dns.setUseLocalDNS(false);

        AppSettings expected;
        expected.general.connectOnStart = true;
        expected.network = NetworkSettings { false, true, false, 3128 };
        expected.dns.prioritizeLocalDNS = false;
        QCOMPARE(fixture.app->settings(), expected);
        QCOMPARE(AppSettings::load(fixture.store), expected);

        // A page opened afresh reads what was written.
        NetworkSettingsViewModel reopened(*fixture.app, *fixture.scheduler);
        QVERIFY(!reopened.transparentProxy());
        QVERIFY(reopened.httpProxy());
        QVERIFY(!reopened.systemProxy());
        QCOMPARE(reopened.httpProxyPort(), u"3128"_s);
        QVERIFY(GeneralSettingsViewModel(*fixture.app, *fixture.scheduler, loginItem).connectOnStart());
        QVERIFY(!DNSSettingsViewModel(*fixture.app, *fixture.scheduler).useLocalDNS());
    }

    void warningFollowsBothProxies_data()
    {
        QTest::addColumn<bool>("transparent");
        QTest::addColumn<bool>("http");
        QTest::addColumn<bool>("warning");
        QTest::newRow("both off") << false << false << true;
        QTest::newRow("transparent on") << true << false << false;
        QTest::newRow("http on") << false << true << false;
        QTest::newRow("both on") << true << true << false;
    }

    void warningFollowsBothProxies()
    {
        QFETCH(bool, transparent);
        QFETCH(bool, http);
        QFETCH(bool, warning);
        AppFixture fixture(VPNStatus::disconnected);
        NetworkSettingsViewModel network(*fixture.app, *fixture.scheduler);
        QSignalSpy changed(&network, &NetworkSettingsViewModel::noProxyWarningChanged);
        network.setHttpProxy(http);
        network.setTransparentProxy(transparent);
        QCOMPARE(network.noProxyWarning(), warning);
        // Starting from transparent on and http off, the warning changes exactly when it shows.
        QCOMPARE(changed.count(), warning ? 1 : 0);
    }

    void startAtLoginFollowsTheLoginItem()
    {
        AppFixture fixture(VPNStatus::disconnected);
        LoginItem loginItem(fixture.dir.path() + u"/autostart"_s, u"/usr/bin/wrenlow"_s);
        GeneralSettingsViewModel general(*fixture.app, *fixture.scheduler, loginItem);
        QVERIFY(!general.startAtLogin());
        general.setStartAtLogin(true);
        QCOMPARE(loginItem.status(), LoginItemStatus::enabled);
        QVERIFY(GeneralSettingsViewModel(*fixture.app, *fixture.scheduler, loginItem).startAtLogin());
        general.setStartAtLogin(false);
        QCOMPARE(loginItem.status(), LoginItemStatus::notRegistered);
        QVERIFY(!QFile::exists(loginItem.entryPath()));
    }

    void failedRegistrationIsLoggedAndTheToggleKept()
    {
        AppFixture fixture(VPNStatus::disconnected);
        // A file where the directory should be.
        const QString blocker = fixture.dir.path() + u"/blocked"_s;
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        LoginItem loginItem(blocker + u"/autostart"_s, u"/usr/bin/wrenlow"_s);
        GeneralSettingsViewModel general(*fixture.app, *fixture.scheduler, loginItem);
        expectLog(QtCriticalMsg,
            u"There was an error registering / unregistering service: Cannot create "_s + blocker + u"/autostart"_s);
        general.setStartAtLogin(true);
        QVERIFY(general.startAtLogin());
        QCOMPARE(loginItem.status(), LoginItemStatus::notRegistered);
    }
};

WRENLOW_TEST(SettingsEditorsTest)
#include "tst_settingseditors.moc"
