#include "../uitesting.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/platform/loginitem.h"
#include "app/settings/vpnactions.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/common/screenstack.h"
#include "ui/common/sheet.h"
#include "ui/settings/routingpages.h"
#include "ui/settings/settingswindow.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>

#include <QCoroTask>

#include <chrono>
#include <functional>

using namespace Qt::StringLiterals;

using SettingsField = std::function<bool(const AppSettings &)>;
Q_DECLARE_METATYPE(SettingsField)

namespace {

// The window over settings held in memory, a disconnected tunnel (changes are only stored) and an
// autostart directory of its own.
struct SettingsFixture {
    FixedSettings settings;
    TestCatalogue catalogue;
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    SettingsActionScheduler scheduler { settings, catalogue.groups, vpn };
    QTemporaryDir autostart;
    LoginItem loginItem { autostart.path(), u"/opt/wrenlow/wrenlow"_s };
    SubscriptionLoader loader;
    SettingsWindow window { { settings, scheduler, loginItem, catalogue.groups, loader, vpn, nullptr,
        u"1.2 (Build: 45) - Standalone"_s, QString() } };
};

} // namespace

class SettingsWindowTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A new window opens on General; each page comes with its title.
    void pagesAndTitles_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("title");
        QTest::newRow("general") << u"General"_s << u"General Settings"_s;
        QTest::newRow("network") << u"Network"_s << u"Network Settings"_s;
        QTest::newRow("dns") << u"DNS"_s << u"DNS Settings"_s;
        QTest::newRow("routing") << u"Routing"_s << u"Routing Settings"_s;
        QTest::newRow("subscriptions") << u"Subscriptions"_s << QString();
        QTest::newRow("troubleshooting") << u"Troubleshooting"_s << u"Throubleshooting"_s;
    }

    void pagesAndTitles()
    {
        QFETCH(QString, section);
        QFETCH(QString, title);
        SettingsFixture f;
        QCOMPARE(f.window.objectName(), u"settings-window"_s);
        QCOMPARE(f.window.selectedSection(), u"General"_s);
        f.window.selectSection(section);
        QCOMPARE(f.window.selectedSection(), section);
        QCOMPARE(f.window.pageTitle(), title);
    }

    // A switch writes its setting at once; no Save button.
    void switchesStoreAtOnce_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("name");
        QTest::addColumn<SettingsField>("field");
        QTest::newRow("connect on start")
            << u"General"_s << u"Connect on start"_s
            << SettingsField([](const AppSettings &s) { return s.general.connectOnStart; });
        QTest::newRow("transparent") << u"Network"_s << u"Transparent Proxy"_s
                                     << SettingsField([](const AppSettings &s) { return s.network.transparentProxy; });
        QTest::newRow("http") << u"Network"_s << u"HTTP Proxy Server"_s
                              << SettingsField([](const AppSettings &s) { return s.network.httpProxy; });
        QTest::newRow("local dns") << u"DNS"_s << u"Use local DNS"_s
                                   << SettingsField([](const AppSettings &s) { return s.dns.prioritizeLocalDNS; });
        QTest::newRow("geoip") << u"Routing"_s << u"GeoIP Routing"_s
                               << SettingsField([](const AppSettings &s) { return s.geoIP.isEnabled; });
    }

    void switchesStoreAtOnce()
    {
        QFETCH(QString, section);
        QFETCH(QString, name);
        QFETCH(SettingsField, field);
        SettingsFixture f;
        f.window.selectSection(section);
        const bool before = field(f.settings.value);
        QAbstractButton *toggle = shown(&f.window, name);
        QVERIFY(toggle);
        QCOMPARE(toggle->isChecked(), before);
        click(&f.window, name);
        QCOMPARE(field(f.settings.value), !before);

        // A page made again shows the settings as they are now, changed elsewhere too.
        f.settings.value = AppSettings {};
        f.window.selectSection(u"General"_s == section ? u"DNS"_s : u"General"_s);
        f.window.selectSection(section);
        QCOMPARE(shown(&f.window, name)->isChecked(), field(AppSettings {}));
    }

    // While connected, a switch reaches the tunnel as its action: the network switches as new network
    // settings, the routing ones as a new backend configuration, the HTTP proxy as a restart.
    void connectedSwitchesReachTheTunnel_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("request");
        QTest::newRow("transparent") << u"Network"_s << u"Transparent Proxy"_s << u"changeNetworkSettings"_s;
        QTest::newRow("local dns") << u"DNS"_s << u"Use local DNS"_s << u"change"_s;
        QTest::newRow("geoip") << u"Routing"_s << u"GeoIP Routing"_s << u"change"_s;
        QTest::newRow("http proxy") << u"Network"_s << u"HTTP Proxy Server"_s << u"restart"_s;
    }

    void connectedSwitchesReachTheTunnel()
    {
        QFETCH(QString, section);
        QFETCH(QString, name);
        QFETCH(QString, request);
        SettingsFixture f;
        const auto profile = f.platform.addSavedProfile(VPNStatus::connected);
        QCoro::waitFor(f.vpn.loadManager());
        f.catalogue.groups.addServer(makeTestServer(u"Tokyo"_s));
        f.scheduler.setGatheringDelay(std::chrono::milliseconds(10));
        f.window.selectSection(section);
        click(&f.window, name);
        const auto requests = [&] {
            QStringList names;
            for (const auto &message : profile->fakeConnection.messages) {
                const TunnelRequest sent = decodeTunnelRequest(message.bytes);
                names.append(std::holds_alternative<TunnelRequests::ChangeNetworkSettings>(sent)
                        ? u"changeNetworkSettings"_s
                        : std::holds_alternative<TunnelRequests::Change>(sent) ? u"change"_s
                                                                               : u"other"_s);
            }
            for (int i = 0; i < profile->fakeConnection.stops; ++i)
                names.append(u"restart"_s);
            return names;
        };
        QTRY_COMPARE(requests(), QStringList { request });
        // The tunnel answers, so no flush is left waiting when the test ends.
        FakeTunnelConnection &connection = profile->fakeConnection;
        QTRY_VERIFY(([&] {
            for (qsizetype i = 0; i < connection.messages.size(); ++i) {
                if (connection.messages[i].handler)
                    connection.answer(i, encodeTunnelRequestResult(TunnelResults::Success {}));
            }
            return !f.scheduler.isFlushScheduled();
        }()));
    }

    // The warning shows while neither proxy is on; the HTTP proxy's rows while it is on; the port
    // is stored only when valid, and the address shows it as typed.
    void networkPage()
    {
        SettingsFixture f;
        f.settings.value.network = NetworkSettings { true, false, true, 8080 };
        f.window.selectSection(u"Network"_s);
        const auto visible = [&](const QString &name) { return shown<QWidget>(&f.window, name) != nullptr; };
        QVERIFY(!visible(u"No proxy warning"_s));
        QVERIFY(!visible(u"Port"_s));
        click(&f.window, u"Transparent Proxy"_s);
        QVERIFY(visible(u"No proxy warning"_s));

        click(&f.window, u"HTTP Proxy Server"_s);
        QVERIFY(!visible(u"No proxy warning"_s));
        QVERIFY(visible(u"Set system-wide proxy"_s) && visible(u"Port"_s));
        type(&f.window, u"Port"_s, u"+3128"_s);
        QCOMPARE(f.settings.value.network.httpProxyPort, 3128);
        QCOMPARE(shown<QLabel>(&f.window, u"Address"_s)->text(), u"127.0.0.1:+3128"_s);
        type(&f.window, u"Port"_s, u"80a"_s);
        QCOMPARE(f.settings.value.network.httpProxyPort, 80);
        QCOMPARE(shown<QLabel>(&f.window, u"Address"_s)->text(), u"127.0.0.1:80a"_s);

        click(&f.window, u"HTTP Proxy Server"_s);
        QVERIFY(!visible(u"Port"_s) && !visible(u"Set system-wide proxy"_s));
        QCOMPARE(f.settings.value.network.systemProxy, true);
    }

    // Start at login is the autostart entry; the version line is at the bottom of General.
    void generalPage()
    {
        SettingsFixture f;
        bool versionShown = false;
        for (const QLabel *label : f.window.findChildren<QLabel *>())
            versionShown |= label->text() == u"Version: 1.2 (Build: 45) - Standalone" && label->isVisibleTo(&f.window);
        QVERIFY(versionShown);
        click(&f.window, u"Start at login"_s);
        QVERIFY(QFile::exists(f.loginItem.entryPath()));
        click(&f.window, u"Start at login"_s);
        QVERIFY(!QFile::exists(f.loginItem.entryPath()));
    }

    // A domain list is edited in rows and reaches the settings through Return or leaving the editor,
    // without the "https://" the user typed; the row keeps what was typed.
    void domainListEditor()
    {
        SettingsFixture f;
        f.settings.value.routing.directDomains = { DomainItem { u"old.example"_s, DomainRuleType::fullDomain } };
        f.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&f.window));
        f.window.selectSection(u"Routing"_s);
        click(&f.window, u"Direct"_s);
        QCOMPARE(f.window.pageTitle(), u"Edit Domains"_s);
        auto *screen = f.window.findChild<DomainListScreen *>();
        QVERIFY(screen);
        const auto fields = [&] {
            QStringList texts;
            for (const QLineEdit *edit : screen->findChildren<QLineEdit *>())
                texts.append(edit->text());
            return texts;
        };
        QCOMPARE(fields(), QStringList { u"old.example"_s });

        click(&f.window, u"Add"_s);
        QTRY_VERIFY(qobject_cast<QLineEdit *>(QApplication::focusWidget()));
        auto *added = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        QCOMPARE(fields().size(), 2);
        QCOMPARE(added->text(), QString());
        QTest::keyClicks(added, u"https://new.example"_s);
        QTest::keyClick(added, Qt::Key_Return);
        QCOMPARE(f.settings.value.routing.directDomains.size(), 2);
        QCOMPARE(f.settings.value.routing.directDomains.last().domain, u"new.example"_s);
        QCOMPARE(f.settings.value.routing.directDomains.last().type, DomainRuleType::rootDomain);
        QCOMPARE(added->text(), u"https://new.example"_s);

        // Removing stores nothing until the editor is left.
        QLineEdit *old = screen->findChildren<QLineEdit *>().first();
        old->setFocus();
        click(&f.window, u"Remove"_s);
        QCOMPARE(fields(), QStringList { u"https://new.example"_s });
        QCOMPARE(f.settings.value.routing.directDomains.size(), 2);
        QTest::mouseClick(f.window.findChild<ScreenStack *>()->backButton(), Qt::LeftButton);
        QCOMPARE(f.window.pageTitle(), u"Routing Settings"_s);
        QCOMPARE(f.settings.value.routing.directDomains.size(), 1);
        QCOMPARE(f.settings.value.routing.directDomains.first().domain, u"new.example"_s);
    }

    // Regions are removed from the selection and added from the catalogue through the picker.
    void regions()
    {
        SettingsFixture f;
        f.settings.value.geoIP.regions = { GeoIPRegion { u"China"_s, u".cn"_s }, GeoIPRegion { u"Iran"_s, u".ir"_s } };
        f.window.selectSection(u"Routing"_s);
        click(&f.window, u"Regions"_s);
        auto *screen = f.window.findChild<RegionsScreen *>();
        QVERIFY(screen);
        QVERIFY(!shown(&f.window, u"Remove"_s)->isEnabled());
        auto *list = shown<QListWidget>(&f.window, u"Regions"_s);
        list->setCurrentRow(1);
        click(&f.window, u"Remove"_s);
        QCOMPARE(f.settings.value.geoIP.regions.size(), 1);
        QCOMPARE(f.settings.value.geoIP.regions.first().label, u"China"_s);
        QCOMPARE(list->count(), 1);

        Sheet *picker = screen->openAddRegion();
        auto *options = shown<QComboBox>(picker, u"Options"_s);
        QVERIFY(options && options->count() > 1);
        QVERIFY(!withText(picker->findChildren<QPushButton *>(), u"OK"_s)->isEnabled());
        const QString label = options->itemText(options->count() - 1);
        options->setCurrentIndex(options->count() - 1);
        QTest::keyClick(options, Qt::Key_Return);
        QCOMPARE(f.settings.value.geoIP.regions.last().label, label);
        QCOMPARE(list->count(), 2);
    }
};

WRENLOW_TEST(SettingsWindowTest)
#include "tst_settingswindow.moc"
