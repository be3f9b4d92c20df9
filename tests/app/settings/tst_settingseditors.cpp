#include "app/application/wrenlowapp.h"
#include "app/platform/loginitem.h"
#include "app/settings/dnssettingsviewmodel.h"
#include "app/settings/domainlistviewmodel.h"
#include "app/settings/generalsettingsviewmodel.h"
#include "app/settings/geoipcatalogue.h"
#include "app/settings/networksettingsviewmodel.h"
#include "app/settings/routingsettingsviewmodel.h"
#include "app/settings/vpnactions.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <functional>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(DomainListViewModel::ListType)

namespace {

// An application model over a store in a temporary directory and the fake tunnel layer, with a
// scheduler that gathers for a few milliseconds, and a record of what reached the tunnel.
struct AppFixture {
    // What the tunnel received, in order, with the settings it was given.
    struct Operation {
        QString name;
        NetworkSettings network;
        AppSettings settings;
    };

    explicit AppFixture(VPNStatus status = VPNStatus::connected, bool withSelection = true)
    {
        profile = platform.addSavedProfile(status);
        app = std::make_unique<WrenlowApp>(store, platform);
        QCoro::waitFor(app->vpn().loadManager());
        if (withSelection)
            app->groups().addServer(makeTestServer(QStringLiteral("Tokyo")));
        scheduler = std::make_unique<SettingsActionScheduler>(*app, app->groups(), app->vpn());
        scheduler->setGatheringDelay(std::chrono::milliseconds(20));
    }

    FakeTunnelConnection &connection() { return profile->fakeConnection; }

    // Lets every flush under way finish, answering the tunnel's messages with success.
    void finishFlush()
    {
        const auto answerAll = [this] {
            for (qsizetype i = answered; i < connection().messages.size(); ++i)
                connection().answer(i, encodeTunnelRequestResult(TunnelResults::Success {}));
            answered = connection().messages.size();
        };
        QTRY_VERIFY((answerAll(), !scheduler->isFlushScheduled()));
    }

    // Everything the tunnel got so far: messages, and restarts through the saved profile.
    QList<Operation> operations() const
    {
        QList<Operation> result;
        for (const auto &message : profile->fakeConnection.messages) {
            const TunnelRequest request = decodeTunnelRequest(message.bytes);
            if (const auto *change = std::get_if<TunnelRequests::Change>(&request))
                result.append({ QStringLiteral("changeServer"), change->backendSettings.appSettings.network,
                    change->backendSettings.appSettings });
            else if (const auto *network = std::get_if<TunnelRequests::ChangeNetworkSettings>(&request))
                result.append({ QStringLiteral("changeNetworkSettings"), network->network, {} });
        }
        for (int i = 0; i < profile->fakeConnection.stops; ++i) {
            const ProviderConfiguration &provider = platform.saves.last().protocolConfiguration->providerConfiguration;
            NetworkSettings network { provider.isTransparentProxy, provider.isHTTPProxy, provider.isSystemProxy,
                provider.httpProxyPort };
            result.append({ QStringLiteral("restartTunnel"), network, {} });
        }
        return result;
    }

    QStringList operationNames() const
    {
        QStringList names;
        for (const Operation &operation : operations())
            names.append(operation.name);
        return names;
    }

    QTemporaryDir dir;
    DefaultsStore store { dir.path() };
    FakeTunnelPlatform platform;
    std::shared_ptr<FakeTunnelProfile> profile;
    std::unique_ptr<WrenlowApp> app;
    std::unique_ptr<SettingsActionScheduler> scheduler;
    qsizetype answered = 0;
};

const QList<GeoIPRegion> &testCatalogue()
{
    static const QList<GeoIPRegion> catalogue { { u"China"_s, u".cn"_s }, { u"Japan"_s, u".jp"_s },
        { u"Japan"_s, u".jp-second"_s } };
    return catalogue;
}

// The settings with one change made.
template <typename Change> AppSettings changed(AppSettings settings, Change change)
{
    change(settings);
    return settings;
}

// Editors as a page creates them, and the edits a test row makes through them, e.g. "port=3128".
struct Pages {
    explicit Pages(AppFixture &fixture)
        : app(*fixture.app)
        , loginItem(fixture.dir.path() + u"/autostart"_s, u"/usr/bin/wrenlow"_s)
        , general(*fixture.app, *fixture.scheduler, loginItem)
        , network(*fixture.app, *fixture.scheduler)
        , dns(*fixture.app, *fixture.scheduler)
        , routing(*fixture.app, *fixture.scheduler, testCatalogue)
    {
    }

    void edit(const QString &edit)
    {
        const QString value = edit.section(u'=', 1);
        const QHash<QString, std::function<void()>> edits {
            { u"dns"_s, [&] { dns.setUseLocalDNS(!dns.useLocalDNS()); } },
            { u"connectOnStart"_s, [&] { general.setConnectOnStart(!general.connectOnStart()); } },
            { u"transparent"_s, [&] { network.setTransparentProxy(!network.transparentProxy()); } },
            { u"http"_s, [&] { network.setHttpProxy(!network.httpProxy()); } },
            { u"system"_s, [&] { network.setSystemProxy(!network.systemProxy()); } },
            { u"port"_s, [&] { network.setHttpProxyPort(value); } },
            { u"geoIP"_s, [&] { routing.setIsEnabled(!routing.isEnabled()); } },
            { u"region"_s, [&] { routing.addRegion(value); } },
            // a change that goes round the pages
            { u"elsewhere"_s,
                [&] {
                    app.setSettings(changed(app.settings(), [](AppSettings &s) { s.network.httpProxyPort = 1234; }));
                    app.saveSettings();
                } },
        };
        QVERIFY2(edits.contains(edit.section(u'=', 0, 0)), qPrintable(edit));
        edits[edit.section(u'=', 0, 0)]();
    }

    WrenlowApp &app;
    LoginItem loginItem;
    GeneralSettingsViewModel general;
    NetworkSettingsViewModel network;
    DNSSettingsViewModel dns;
    RoutingSettingsViewModel routing;
};

} // namespace

// The settings pages' own rules, the login item they switch, the regions they offer, and how their
// edits reach a running tunnel.
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
        QTest::newRow("highest") << u"65535"_s << qint64(65535);
    }

    void portIsStoredOnlyWhenValid()
    {
        QFETCH(QString, text);
        QFETCH(qint64, stored);
        AppFixture fixture(VPNStatus::disconnected);
        fixture.app->setSettings(
            changed(fixture.app->settings(), [](AppSettings &s) { s.network.httpProxyPort = 1000; }));
        NetworkSettingsViewModel network(*fixture.app, *fixture.scheduler);
        QCOMPARE(network.httpProxyPort(), u"1000"_s);

        network.setHttpProxyPort(text);
        QCOMPARE(fixture.app->settings().network.httpProxyPort, stored);
        QCOMPARE(network.httpProxyPort(), text);
        QCOMPARE(network.address(), u"127.0.0.1:"_s + text);
        if (stored != 1000)
            QCOMPARE(AppSettings::load(fixture.store).network.httpProxyPort, stored);
    }

    // The warning shows while both proxies are off; it signals when it comes and goes, not otherwise.
    void warningFollowsBothProxies()
    {
        AppFixture fixture(VPNStatus::disconnected);
        NetworkSettingsViewModel network(*fixture.app, *fixture.scheduler);
        QSignalSpy changed(&network, &NetworkSettingsViewModel::noProxyWarningChanged);
        QList<bool> shown;
        for (const auto &[transparent, http] :
            { std::pair(false, false), std::pair(true, false), std::pair(false, true) }) {
            network.setHttpProxy(http);
            network.setTransparentProxy(transparent);
            shown.append(network.noProxyWarning());
        }
        QCOMPARE(shown, (QList<bool> { true, false, false }));
        QCOMPARE(changed.count(), 2);
    }

    void failedRegistrationIsLoggedAndTheToggleKept()
    {
        AppFixture fixture(VPNStatus::disconnected);
        // A file where the directory should be.
        const QString blocker = fixture.dir.path() + u"/blocked"_s;
        QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
        LoginItem loginItem(blocker + u"/autostart"_s, u"/usr/bin/wrenlow"_s);
        GeneralSettingsViewModel general(*fixture.app, *fixture.scheduler, loginItem);
        expectLog(QtCriticalMsg,
            u"There was an error registering / unregistering service: Cannot create "_s + blocker + u"/autostart"_s);
        general.setStartAtLogin(true);
        QVERIFY(general.startAtLogin());
        QCOMPARE(loginItem.status(), LoginItemStatus::notRegistered);
    }

    // The desktop entry's Exec key has its own quoting: a path it misreads starts nothing at login.
    void execArgument_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << u"/usr/bin/wrenlow"_s << u"/usr/bin/wrenlow"_s;
        QTest::newRow("quote and dollar") << u"/opt/a\"b$c/wrenlow"_s << u"\"/opt/a\\\\\"b\\\\$c/wrenlow\""_s;
        QTest::newRow("backslash") << u"/opt/a\\b"_s << u"\"/opt/a\\\\\\\\b\""_s;
        QTest::newRow("percent") << u"/opt/100%/wrenlow"_s << u"/opt/100%%/wrenlow"_s;
    }

    void execArgument()
    {
        QFETCH(QString, path);
        QFETCH(QString, exec);
        QCOMPARE(LoginItem::execArgument(path), exec);
    }

    // A path with spaces is quoted; an entry the user hid in the desktop's settings is not enabled,
    // whoever wrote it.
    void registerUnregisterAndHide()
    {
        QTemporaryDir dir;
        LoginItem item(dir.path() + u"/config/autostart"_s, u"/opt/My Apps/wrenlow"_s);
        QCOMPARE(item.status(), LoginItemStatus::notRegistered);
        item.registerItem();
        QCOMPARE(item.status(), LoginItemStatus::enabled);
        QFile file(item.entryPath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.readAll().contains("\nExec=\"/opt/My Apps/wrenlow\"\n"));
        file.write("[Desktop Action x]\nHidden=true\n");
        file.flush();
        QCOMPARE(item.status(), LoginItemStatus::enabled);
        QVERIFY(file.resize(0) && file.seek(0));
        file.write("[Desktop Entry]\nHidden = true\n");
        file.close();
        QCOMPARE(item.status(), LoginItemStatus::notRegistered);
        item.unregisterItem();
        QVERIFY(!QFile::exists(item.entryPath()));
    }

    // Regions come from the catalogue, the first of a duplicated label, once each; the selected one
    // goes with its duplicates; a removed default region comes back from the shipped catalogue.
    void regions()
    {
        AppFixture fixture(VPNStatus::disconnected);
        RoutingSettingsViewModel model(*fixture.app, *fixture.scheduler, testCatalogue);
        const GeoIPRegion china { u"China"_s, u".cn"_s }, japan { u"Japan"_s, u".jp"_s };
        for (const QString &label : { u"Japan"_s, u"China"_s, u"Atlantis"_s, u"Japan"_s })
            model.addRegion(label);
        QCOMPARE(model.regions(), (QList<GeoIPRegion> { china, japan }));
        QCOMPARE(AppSettings::load(fixture.store).geoIP.regions, model.regions());

        fixture.app->setSettings(
            changed(fixture.app->settings(), [&](AppSettings &s) { s.geoIP.regions.append(china); }));
        RoutingSettingsViewModel edited(*fixture.app, *fixture.scheduler, testCatalogue);
        edited.setSelectedRegion(u"China"_s);
        edited.removeSelectedRegion();
        QCOMPARE(edited.regions(), QList<GeoIPRegion> { japan });
        QCOMPARE(AppSettings::load(fixture.store).geoIP.regions, edited.regions());
        QVERIFY(edited.selectedRegion().isEmpty());
        RoutingSettingsViewModel shipped(*fixture.app, *fixture.scheduler);
        shipped.addRegion(u"China"_s);
        QCOMPARE(fixture.app->settings().geoIP.regions.last(), china);
    }

    // Added and removed rows are stored only when the list is saved; a new row replaces every empty one.
    void rowsAreStoredOnlyOnSave()
    {
        AppFixture fixture(VPNStatus::disconnected);
        fixture.app->setSettings(changed(fixture.app->settings(), [](AppSettings &s) {
            s.routing.blockDomains = { DomainItem { u"a.io"_s }, DomainItem { u"b.io"_s } };
        }));
        DomainListViewModel model(*fixture.app, *fixture.scheduler, DomainListViewModel::ListType::block);
        model.removeItems({ model.domains().first().id });
        QList<DomainItem> rows = model.domains();
        model.addItem();
        rows.append(DomainItem { QString(), DomainRuleType::fullDomain });
        model.setDomains(rows + model.domains().mid(1));
        const DomainItem added = model.addItem();
        QCOMPARE(added.type, DomainRuleType::rootDomain);
        QVERIFY(added.domain.isEmpty());
        QCOMPARE(model.domains(), (QList<DomainItem> { rows.first(), added }));
        QCOMPARE(fixture.app->settings().routing.blockDomains.size(), 2);
        model.saveDomains();
        QCOMPARE(AppSettings::load(fixture.store).routing.blockDomains.first().domain, u"b.io"_s);
        QCOMPARE(fixture.app->settings().routing.blockDomains.size(), 1);
    }

    // Edits reach a connected tunnel with a selected server, gathered; they are stored whatever the tunnel.
    void burstsAreGathered_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<bool>("withSelection");
        QTest::addColumn<QStringList>("edits");
        QTest::addColumn<QStringList>("operations");
        const auto add = [](const char *tag, const QStringList &edits, const QStringList &operations,
                             VPNStatus status = VPNStatus::connected, bool withSelection = true) {
            QTest::newRow(tag) << status << withSelection << edits << operations;
        };
        const QString restart = u"restartTunnel"_s;
        add("dns and connect on start", { u"dns"_s, u"connectOnStart"_s }, { u"changeServer"_s });
        add("transparent then http proxy", { u"transparent"_s, u"http"_s }, { restart });
        add("dns and transparent", { u"dns"_s, u"transparent"_s }, { u"changeNetworkSettings"_s, u"changeServer"_s });
        add("system proxy", { u"system"_s }, { restart });
        add("port typed digit by digit", { u"port=3"_s, u"port=31"_s, u"port=312"_s, u"port=3128"_s }, { restart });
        add("invalid port", { u"port=80a"_s }, {});
        add("geoIP and a region", { u"geoIP"_s, u"region=Japan"_s }, { u"changeServer"_s });
        // The tunnel gets the settings of the flush, not those of the edit.
        add("settings changed before the flush", { u"dns"_s, u"elsewhere"_s }, { u"changeServer"_s });
        add("disconnected", { u"dns"_s, u"http"_s }, {}, VPNStatus::disconnected);
        add("connected without selection", { u"dns"_s, u"http"_s }, {}, VPNStatus::connected, false);
    }

    void burstsAreGathered()
    {
        QFETCH(VPNStatus, status);
        QFETCH(bool, withSelection);
        QFETCH(QStringList, edits);
        QFETCH(QStringList, operations);
        AppFixture fixture(status, withSelection);
        Pages pages(fixture);
        for (const QString &edit : edits)
            pages.edit(edit);
        fixture.finishFlush();
        QStringList names = fixture.operationNames();
        std::sort(names.begin(), names.end());
        QCOMPARE(names, operations);
        if (operations.isEmpty())
            QCOMPARE(fixture.platform.saves.size(), 0);
        // What the tunnel got is what is stored.
        const AppSettings stored = AppSettings::load(fixture.store);
        QCOMPARE(stored, fixture.app->settings());
        // The pages show what is stored.
        QCOMPARE((QList<bool> { pages.dns.useLocalDNS(), pages.general.connectOnStart(), pages.routing.isEnabled(),
                     pages.network.transparentProxy(), pages.network.httpProxy(), pages.network.systemProxy() }),
            (QList<bool> { stored.dns.prioritizeLocalDNS, stored.general.connectOnStart, stored.geoIP.isEnabled,
                stored.network.transparentProxy, stored.network.httpProxy, stored.network.systemProxy }));
        for (const auto &operation : fixture.operations()) {
            QCOMPARE(operation.network, stored.network);
            if (operation.name == u"changeServer")
                QCOMPARE(operation.settings, stored);
        }
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

WRENLOW_TEST(SettingsEditorsTest)
#include "tst_settingseditors.moc"
