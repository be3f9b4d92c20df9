#include "app/platform/loginitem.h"
#include "app/settings/dnssettingsviewmodel.h"
#include "app/settings/generalsettingsviewmodel.h"
#include "app/settings/networksettingsviewmodel.h"
#include "appfixture.h"
#include "testregistry.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Editors as a page creates them, and the edits a test row makes through them, e.g. "port=3128".
struct Pages {
    explicit Pages(AppFixture &fixture)
        : loginItem(fixture.dir.path() + u"/autostart"_s, u"/usr/bin/wrenlow"_s)
        , general(*fixture.app, *fixture.scheduler, loginItem)
        , network(*fixture.app, *fixture.scheduler)
        , dns(*fixture.app, *fixture.scheduler)
    {
    }

    void edit(const QString &edit)
    {
        const QString name = edit.section(u'=', 0, 0);
        const QString value = edit.section(u'=', 1);
        if (name == u"dns")
            dns.setUseLocalDNS(!dns.useLocalDNS());
        else if (name == u"connectOnStart")
            general.setConnectOnStart(!general.connectOnStart());
        else if (name == u"transparent")
            network.setTransparentProxy(!network.transparentProxy());
        else if (name == u"http")
            network.setHttpProxy(!network.httpProxy());
        else if (name == u"system")
            network.setSystemProxy(!network.systemProxy());
        else if (name == u"port")
            network.setHttpProxyPort(value);
        else
            QFAIL("unknown edit");
    }

    LoginItem loginItem;
    GeneralSettingsViewModel general;
    NetworkSettingsViewModel network;
    DNSSettingsViewModel dns;
};

} // namespace

class SettingsActionsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void burstsAreGathered_data()
    {
        QTest::addColumn<QStringList>("edits");
        QTest::addColumn<QStringList>("operations");
        QTest::newRow("dns and connect on start")
            << QStringList { u"dns"_s, u"connectOnStart"_s } << QStringList { u"changeServer"_s };
        QTest::newRow("transparent then http proxy")
            << QStringList { u"transparent"_s, u"http"_s } << QStringList { u"restartTunnel"_s };
        QTest::newRow("dns and transparent") << QStringList { u"dns"_s, u"transparent"_s }
                                             << QStringList { u"changeNetworkSettings"_s, u"changeServer"_s };
        QTest::newRow("system proxy") << QStringList { u"system"_s } << QStringList { u"restartTunnel"_s };
        QTest::newRow("port typed digit by digit") << QStringList { u"port=3"_s, u"port=31"_s, u"port=312"_s,
            u"port=3128"_s } << QStringList { u"restartTunnel"_s };
        QTest::newRow("invalid port") << QStringList { u"port=80a"_s } << QStringList {};
        QTest::newRow("same switch twice") << QStringList { u"dns"_s, u"dns"_s } << QStringList { u"changeServer"_s };
    }

    void burstsAreGathered()
    {
        QFETCH(QStringList, edits);
        QFETCH(QStringList, operations);
        AppFixture fixture;
        Pages pages(fixture);
        for (const QString &edit : edits)
            pages.edit(edit);
        QStringList names;
        for (const auto &operation : fixture.finishFlush())
            names.append(operation.name);
        std::sort(names.begin(), names.end());
        QCOMPARE(names, operations);
        // What the tunnel got is what is stored.
        for (const auto &operation : fixture.operations())
            QCOMPARE(operation.network, AppSettings::load(fixture.store).network);
    }

    void nothingReachesTheTunnel_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<bool>("withSelection");
        QTest::newRow("disconnected") << VPNStatus::disconnected << true;
        QTest::newRow("connecting") << VPNStatus::connecting << true;
        QTest::newRow("connected without selection") << VPNStatus::connected << false;
    }

    void nothingReachesTheTunnel()
    {
        QFETCH(VPNStatus, status);
        QFETCH(bool, withSelection);
        AppFixture fixture(status, withSelection);
        Pages pages(fixture);
        pages.edit(u"dns"_s);
        pages.edit(u"http"_s);
        fixture.finishFlush();
        QCOMPARE(fixture.operationNames(), QStringList {});
        QCOMPARE(fixture.platform.saves.size(), 0);
        // Stored all the same.
        const AppSettings stored = AppSettings::load(fixture.store);
        QVERIFY(!stored.dns.prioritizeLocalDNS);
        QVERIFY(stored.network.httpProxy);
    }

    void settingsAreReadAtFlushTime()
    {
        AppFixture fixture;
        Pages pages(fixture);
        pages.edit(u"dns"_s);
        AppSettings later = fixture.app->settings();
        later.network.httpProxyPort = 1234;
        fixture.app->setSettings(later);
        const auto operations = fixture.finishFlush();
        QCOMPARE(operations.size(), 1);
        QCOMPARE(operations.first().settings, later);
    }

    void actionsDuringARestartWaitForTheNextChange()
    {
        AppFixture fixture;
        Pages pages(fixture);
        fixture.platform.saveScript.hold = true;
        pages.edit(u"http"_s);
        QTRY_COMPARE(fixture.platform.saves.size(), 1);
        pages.edit(u"dns"_s);
        QVERIFY(fixture.platform.releaseHeld());
        fixture.finishFlush();
        QCOMPARE(fixture.operationNames(), QStringList { u"restartTunnel"_s });
        QCOMPARE(fixture.scheduler->pendingActions(), QSet<VPNActions> { VPNActions::restartBackend });

        fixture.platform.saveScript.hold = false;
        pages.edit(u"connectOnStart"_s);
        fixture.finishFlush();
        QCOMPARE(fixture.operationNames(), (QStringList { u"changeServer"_s, u"restartTunnel"_s }));
    }

    void failuresAreLoggedAndTheRestGoesOn()
    {
        AppFixture fixture;
        Pages pages(fixture);
        fixture.connection().sendFailure = u"broken pipe"_s;
        expectLog(QtCriticalMsg, u"Error getting status from TunnelProvider: broken pipe"_s);
        expectLog(QtCriticalMsg, u"Error performing action when saving settings: Error sending request: broken pipe"_s);
        expectLog(QtCriticalMsg, u"Error getting status from TunnelProvider: broken pipe"_s);
        expectLog(QtCriticalMsg, u"Error performing action when saving settings: Error sending request: broken pipe"_s);
        pages.edit(u"dns"_s);
        pages.edit(u"transparent"_s);
        fixture.finishFlush();
        QVERIFY(fixture.scheduler->pendingActions().isEmpty());
    }
};

WRENLOW_TEST(SettingsActionsTest)
#include "tst_settingsactions.moc"
