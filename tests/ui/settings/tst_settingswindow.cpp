#include "../uitesting.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/forms/subscriptionviewmodel.h"
#include "app/platform/loginitem.h"
#include "app/settings/vpnactions.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/common/alert.h"
#include "ui/common/screenstack.h"
#include "ui/common/sheet.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/settings/routingpages.h"
#include "ui/settings/settingswindow.h"
#include "ui/settings/subscriptionspage.h"
#include "ui/settings/troubleshootingpage.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QToolButton>

#include <functional>

using namespace Qt::StringLiterals;

using SettingsField = std::function<bool(const AppSettings &)>;
using RowsChange = std::function<void(GroupCollection &, QAbstractItemModel &)>;
Q_DECLARE_METATYPE(SettingsField)
Q_DECLARE_METATYPE(RowsChange)
Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {

ServerGroupPtr subscription(const QString &name, const QUuid &id = QUuid::createUuid())
{
    return std::make_shared<ServerGroup>(id,
        SubscriptionType { name, u"https://provider.example/"_s + name.toLower(), false }, QList<ServerPtr> {},
        QDateTime());
}

// Drops the second row before row `before`, as the view does.
RowsChange drop(int before)
{
    return [before](GroupCollection &, QAbstractItemModel &rows) { rows.moveRow({}, 1, {}, before); };
}

// The window over settings held in memory, the fake tunnel layer (disconnected unless a test loads
// a tunnel, so changes are only stored) and an autostart directory of its own.
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
    FakeTunnelConnection *connection = nullptr;

    bool visible(const QString &name) { return shown<QWidget>(&window, name) != nullptr; }
    bool enabled(const QString &button) { return shown(&window, button)->isEnabled(); }
    // A line's text as a person sees it; empty while hidden.
    QString label(const QString &name)
    {
        const auto *line = shown<QLabel>(&window, name);
        return line ? line->text() : QString();
    }
    QList<DomainItem> &directDomains() { return settings.value.routing.directDomains; }

    // Shows the window on the Subscriptions page, over groups with these names.
    void openSubscriptions(const QStringList &names = { u"Alpha"_s, u"Beta"_s, u"Gamma"_s })
    {
        for (const QString &name : names)
            catalogue.groups.addSubscription(subscription(name));
        window.show();
        window.selectSection(u"Subscriptions"_s);
    }

    QListView *list() { return shown<QListView>(&window, u"Subscriptions"_s); }

    // What the rows say, top to bottom; only the selected ones if asked.
    QStringList rows(bool selected = false)
    {
        QStringList texts;
        for (int row = 0; row < list()->model()->rowCount(); ++row) {
            const QModelIndex index = list()->model()->index(row, 0);
            if (!selected || list()->selectionModel()->isSelected(index))
                texts.append(index.data().toString());
        }
        return texts;
    }

    // Ctrl-clicks each row, as a person picks several.
    void select(const QList<int> &rows)
    {
        for (int row : rows) {
            const QPoint at = list()->visualRect(list()->model()->index(row, 0)).center();
            QTest::mouseClick(list()->viewport(), Qt::LeftButton, Qt::ControlModifier, at);
        }
    }

    // Shows the window on the Troubleshooting page, over a tunnel loaded in `status`; the page is the
    // only one to send the tunnel messages.
    TroubleshootingPage *openTroubleshooting(VPNStatus status)
    {
        connection = &loadSavedTunnel(platform, vpn, status);
        settle();
        window.show();
        window.selectSection(u"Troubleshooting"_s);
        return static_cast<TroubleshootingPage *>(window.page());
    }
};

} // namespace

// The settings window and its pages, driven as a person does.
class SettingsWindowTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // A new window opens on General; each page comes with its title, and its switch writes the
    // setting at once, with no Save button.
    void pagesStoreAtOnce_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::addColumn<SettingsField>("field");
        QTest::newRow("general") << u"General"_s << u"General Settings"_s << u"Connect on start"_s
                                 << SettingsField([](const AppSettings &s) { return s.general.connectOnStart; });
        QTest::newRow("transparent") << u"Network"_s << u"Network Settings"_s << u"Transparent Proxy"_s
                                     << SettingsField([](const AppSettings &s) { return s.network.transparentProxy; });
        QTest::newRow("dns") << u"DNS"_s << u"DNS Settings"_s << u"Use local DNS"_s
                             << SettingsField([](const AppSettings &s) { return s.dns.prioritizeLocalDNS; });
        QTest::newRow("routing") << u"Routing"_s << u"Routing Settings"_s << u"GeoIP Routing"_s
                                 << SettingsField([](const AppSettings &s) { return s.geoIP.isEnabled; });
        QTest::newRow("subscriptions") << u"Subscriptions"_s << QString() << QString() << SettingsField();
        QTest::newRow("troubleshooting") << u"Troubleshooting"_s << u"Throubleshooting"_s << QString()
                                         << SettingsField();
    }

    void pagesStoreAtOnce()
    {
        QFETCH(QString, section);
        QFETCH(QString, title);
        QFETCH(QString, name);
        QFETCH(SettingsField, field);
        SettingsFixture f;
        QCOMPARE(f.window.selectedSection(), u"General"_s);
        f.window.selectSection(section);
        QCOMPARE(f.window.selectedSection(), section);
        QCOMPARE(f.window.pageTitle(), title);
        if (!field)
            return;
        const bool before = field(f.settings.value);
        click(&f.window, name);
        QCOMPARE(field(f.settings.value), !before);

        // A page made again shows the settings as they are now, changed elsewhere too.
        f.settings.value = AppSettings {};
        f.window.selectSection(u"General"_s == section ? u"DNS"_s : u"General"_s);
        f.window.selectSection(section);
        QCOMPARE(shown(&f.window, name)->isChecked(), before);
    }

    // The warning shows while neither proxy is on; the HTTP proxy's rows while it is on; the port
    // is stored only when valid, and the address shows it as typed.
    void networkPage()
    {
        SettingsFixture f;
        f.settings.value.network = NetworkSettings { true, false, true, 8080 };
        f.window.selectSection(u"Network"_s);
        QVERIFY(!f.visible(u"No proxy warning"_s) && !f.visible(u"Port"_s));
        click(&f.window, u"Transparent Proxy"_s);
        QVERIFY(f.visible(u"No proxy warning"_s));

        click(&f.window, u"HTTP Proxy Server"_s);
        QVERIFY(!f.visible(u"No proxy warning"_s) && f.visible(u"Set system-wide proxy"_s));
        type(&f.window, u"Port"_s, u"80a"_s);
        QCOMPARE(f.settings.value.network.httpProxyPort, 80);
        QCOMPARE(f.label(u"Address"_s), u"127.0.0.1:80a"_s);

        click(&f.window, u"HTTP Proxy Server"_s);
        QVERIFY(!f.visible(u"Port"_s) && !f.visible(u"Set system-wide proxy"_s));
    }

    // Start at login is the autostart entry; the version line is on General.
    void generalPage()
    {
        SettingsFixture f;
        QVERIFY(withText(f.window.findChildren<QLabel *>(), u"Version: 1.2 (Build: 45) - Standalone"_s));
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
        f.directDomains() = { DomainItem { u"old.example"_s, DomainRuleType::fullDomain } };
        f.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&f.window));
        f.window.selectSection(u"Routing"_s);
        click(&f.window, u"Direct"_s);
        auto *screen = f.window.findChild<DomainListScreen *>();
        QCOMPARE(shown<QLineEdit>(screen, u"Domain"_s)->text(), u"old.example"_s);
        QCOMPARE(shown<QComboBox>(screen, u"Rule type"_s)->currentText(), u"Exact match"_s);

        click(&f.window, u"Add"_s);
        QTRY_VERIFY(qobject_cast<QLineEdit *>(QApplication::focusWidget()));
        auto *added = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        QTest::keyClicks(added, u"https://new.example"_s);
        QTest::keyClick(added, Qt::Key_Return);
        QCOMPARE(f.directDomains().size(), 2);
        QCOMPARE(f.directDomains().last().domain, u"new.example"_s);
        QCOMPARE(f.directDomains().last().type, DomainRuleType::rootDomain);
        QCOMPARE(added->text(), u"https://new.example"_s);

        // Working in a row picks it for Remove, which stores nothing until the editor is left.
        screen->findChildren<QLineEdit *>().first()->setFocus();
        click(&f.window, u"Remove"_s);
        QCOMPARE(shown<QLineEdit>(screen, u"Domain"_s)->text(), u"https://new.example"_s);
        QCOMPARE(f.directDomains().size(), 2);
        QTest::mouseClick(f.window.findChild<ScreenStack *>()->backButton(), Qt::LeftButton);
        QCOMPARE(f.directDomains().size(), 1);
        QCOMPARE(f.directDomains().first().domain, u"new.example"_s);
    }

    // Regions are removed from the selection and added from the catalogue through the picker.
    void regions()
    {
        SettingsFixture f;
        f.settings.value.geoIP.regions = { GeoIPRegion { u"China"_s, u".cn"_s }, GeoIPRegion { u"Iran"_s, u".ir"_s } };
        f.window.selectSection(u"Routing"_s);
        click(&f.window, u"Regions"_s);
        QVERIFY(!f.enabled(u"Remove"_s));
        auto *list = shown<QListWidget>(&f.window, u"Regions"_s);
        list->setCurrentRow(1);
        click(&f.window, u"Remove"_s);
        QCOMPARE(f.settings.value.geoIP.regions, (QList { GeoIPRegion { u"China"_s, u".cn"_s } }));
        QCOMPARE(list->count(), 1);

        Sheet *picker = f.window.findChild<RegionsScreen *>()->openAddRegion();
        auto *options = shown<QComboBox>(picker, u"Options"_s);
        QVERIFY(!withText(picker->findChildren<QPushButton *>(), u"OK"_s)->isEnabled());
        const QString label = options->itemText(options->count() - 1);
        options->setCurrentIndex(options->count() - 1);
        QTest::keyClick(options, Qt::Key_Return);
        QCOMPARE(f.settings.value.geoIP.regions.last().label, label);
        QCOMPARE(list->count(), 2);
    }

    // The subscription rows follow the catalogue, and a row dropped in the list (the view moves it
    // through the model) reorders it; an empty name shows as "Unnamed", and the selection stays.
    void rowsFollowTheCatalogue_data()
    {
        QTest::addColumn<RowsChange>("change");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("added unnamed") << RowsChange([](GroupCollection &g, auto &) {
            g.addSubscription(subscription({}));
        }) << QStringList { u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Unnamed"_s };
        QTest::newRow("removed") << RowsChange([](GroupCollection &g, auto &) {
            g.removeSubscriptions({ g.subscriptions().at(0)->id(), g.subscriptions().at(2)->id() });
        }) << QStringList { u"Beta"_s };
        QTest::newRow("name emptied") << RowsChange([](GroupCollection &g, auto &) {
            g.replaceSubscription(g.subscriptions().at(1)->id(), subscription({}, g.subscriptions().at(1)->id()));
        }) << QStringList { u"Alpha"_s, u"Unnamed"_s, u"Gamma"_s };
        QTest::newRow("dropped at the end") << drop(3) << QStringList { u"Alpha"_s, u"Gamma"_s, u"Beta"_s };
        QTest::newRow("dropped at the top") << drop(0) << QStringList { u"Beta"_s, u"Alpha"_s, u"Gamma"_s };
        QTest::newRow("dropped onto itself") << drop(1) << QStringList { u"Alpha"_s, u"Beta"_s, u"Gamma"_s };
        QTest::newRow("dropped below itself") << drop(2) << QStringList { u"Alpha"_s, u"Beta"_s, u"Gamma"_s };
    }

    void rowsFollowTheCatalogue()
    {
        QFETCH(RowsChange, change);
        QFETCH(QStringList, rows);
        SettingsFixture f;
        f.openSubscriptions();
        QAbstractItemModelTester tester(f.list()->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        f.select({ 1 });
        change(f.catalogue.groups, *f.list()->model());
        QCOMPARE(f.rows(), rows);
        if (rows.contains(u"Beta"_s))
            QCOMPARE(f.rows(true), QStringList { u"Beta"_s });
        QCOMPARE(f.enabled(u"Remove"_s), !f.rows(true).isEmpty());
    }

    // A catalogue read in the background arrives whole; the rows show it.
    void rowsFollowABackgroundLoad()
    {
        SettingsFixture f;
        f.openSubscriptions({ u"Alpha"_s, QString() });
        GroupCollection fresh(f.catalogue.store);
        SubscriptionsSettingsPage page(fresh, f.loader);
        fresh.loadInBackground([] {});
        QTRY_COMPARE(page.list()->model()->rowCount(), 2);
        QCOMPARE(page.list()->model()->index(1, 0).data().toString(), u"Unnamed"_s);
    }

    // Remove needs a selection and Edit exactly one row. Remove takes the selected groups out at
    // once, with no question, and the catalogue is stored.
    void removeTakesTheSelection()
    {
        SettingsFixture f;
        f.openSubscriptions({ u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Delta"_s });
        QVERIFY(!f.enabled(u"Remove"_s) && !f.enabled(u"Edit"_s));
        f.select({ 0, 2 });
        QVERIFY(!f.enabled(u"Edit"_s));
        click(&f.window, u"Remove"_s);
        QCOMPARE(f.rows(), (QStringList { u"Beta"_s, u"Delta"_s }));
        QCOMPARE(GroupCollection::load(f.catalogue.store)->subscriptions().size(), 2);
        QVERIFY(!f.window.findChild<QMessageBox *>());
        QVERIFY(!f.enabled(u"Remove"_s) && !f.enabled(u"Edit"_s));
    }

    // Add opens an empty form in a sheet, Edit the selected group's; Close closes it.
    void formsOpenInASheet()
    {
        SettingsFixture f;
        f.openSubscriptions();
        f.select({ 1 });
        for (const QString &button : { u"Add"_s, u"Edit"_s }) {
            const bool edit = button == u"Edit";
            click(&f.window, button);
            QPointer<Sheet> sheet = f.window.findChild<Sheet *>();
            QVERIFY(sheet && sheet->isVisible());
            const SubscriptionViewModel &form = qobject_cast<SubscriptionScreen *>(sheet->stack()->top())->form();
            QCOMPARE(form.url(), edit ? u"https://provider.example/beta"_s : QString());
            QCOMPARE(form.type() == SubscriptionViewModel::Type::edit, edit);
            click(sheet, u"Close"_s);
            QTRY_VERIFY(!sheet);
        }
    }

    // Shown while connected, the Troubleshooting page asks the tunnel for its memory once and shows
    // the answer; any answer but an amount counts as none. Otherwise there is no line and no question.
    void memoryLine_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<std::optional<QByteArray>>("answer");
        QTest::addColumn<QString>("line");
        const QString tail = u" memory allocated in network extension"_s;
        QTest::newRow("disconnected") << VPNStatus::disconnected << std::optional<QByteArray>() << QString();
        QTest::newRow("1536 bytes") << VPNStatus::connected
                                    << std::optional(encodeTunnelRequestResult(TunnelResults::MemoryUsed { 1536 }))
                                    << u"1 KB"_s + tail;
        QTest::newRow("failure") << VPNStatus::connected
                                 << std::optional(encodeTunnelRequestResult(TunnelResults::Failure { u"no"_s }))
                                 << u"0 B"_s + tail;
        QTest::newRow("no data") << VPNStatus::connected << std::optional<QByteArray>() << u"0 B"_s + tail;
    }

    void memoryLine()
    {
        QFETCH(VPNStatus, status);
        QFETCH(std::optional<QByteArray>, answer);
        QFETCH(QString, line);
        SettingsFixture f;
        f.openTroubleshooting(status);
        const bool connected = status == VPNStatus::connected;
        QCOMPARE(f.connection->messages.size(), connected ? 1 : 0);
        QCOMPARE(f.label(u"Memory allocated"_s), QString());
        if (!connected)
            return;
        f.connection->answer(0, answer);
        QTRY_COMPARE(f.label(u"Memory allocated"_s), line);

        // Each appearance while connected asks again; disconnected, the line goes. A page gone
        // before the answer takes no harm from it.
        for (const VPNStatus now : { VPNStatus::disconnected, VPNStatus::connected }) {
            f.window.hide();
            f.connection->setStatus(now);
            settle();
            f.window.show();
            QCOMPARE(f.label(u"Memory allocated"_s), QString());
        }
        QCOMPARE(f.connection->messages.size(), 2);
        delete f.window.page();
        f.connection->answer(1, answer);
        settle();
    }

    // Reset needs no confirmation; the button waits for it, and its outcome is told in an alert.
    void resetTellsTheOutcome_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QStringList>("alert");
        QTest::newRow("success") << QString()
                                 << QStringList { QString(), u"VPN configuration was successfully reset"_s };
        QTest::newRow("failure") << u"denied"_s << QStringList { u"Error resetting configuration"_s, u"denied"_s };
    }

    void resetTellsTheOutcome()
    {
        QFETCH(QString, failure);
        QFETCH(QStringList, alert);
        SettingsFixture f;
        f.platform.removeScript = { true, failure.isEmpty() ? std::nullopt : std::optional(failure) };
        if (!failure.isEmpty())
            expectLog(QtCriticalMsg, u"Cannot remove from preferences: "_s + failure);
        const Alert &outcome = f.openTroubleshooting(VPNStatus::disconnected)->alert();
        click(&f.window, u"Reset VPN configuration"_s);
        QVERIFY(!f.enabled(u"Reset VPN configuration"_s));
        QVERIFY(f.platform.releaseHeld());
        QTRY_VERIFY(outcome.isShown());
        QCOMPARE(f.platform.removes, failure.isEmpty() ? 1 : 0);
        QCOMPARE((QStringList { outcome.title(), outcome.message() }), alert);
        QVERIFY(f.enabled(u"Reset VPN configuration"_s));
    }
};

WRENLOW_TEST(SettingsWindowTest)
#include "tst_settingswindow.moc"
