#include "../uitesting.h"
#include "app/tunnel/vpnmanager.h"
#include "app/updates/updatechecker.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/tray/trayicon.h"
#include "ui/updates/updateprompt.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace {

// The visible items of a menu, which is built as it opens: "---" for a separator, "(text)" for a
// disabled item, "text *" for a checked one.
QStringList opened(QMenu *menu)
{
    Q_EMIT menu->aboutToShow();
    QStringList texts;
    for (const QAction *action : menu->actions()) {
        const QString text = action->isSeparator() ? u"---"_s : action->text();
        if (action->isVisible())
            texts.append(
                (action->isEnabled() ? text : u"("_s + text + u")"_s) + (action->isChecked() ? u" *"_s : u""_s));
    }
    return texts;
}

QAction *item(const QMenu *menu, const QString &text)
{
    return withText(menu->actions(), text);
}

ServerGroupPtr subscription(const QString &name, const QList<ServerPtr> &servers)
{
    return std::make_shared<ServerGroup>(SubscriptionType { name, u"https://sub.example/"_s + name }, servers);
}

// The tray over a catalogue of its own and the fake tunnel layer; Connect is counted.
struct TrayFixture : TestCatalogue {
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    UpdateChecker updates { QUrl(), u"1.0"_s };
    int connects = 0;
    TrayIcon tray { vpn, groups, updates, [this]() -> QCoro::Task<> {
                       ++connects;
                       co_return;
                   } };
};

} // namespace

// The tray menu, and the prompt an update check from it opens.
class TrayIconTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void connectAndDisconnect_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<bool>("connect");
        QTest::newRow("no profile yet") << VPNStatus::invalid << false;
        QTest::newRow("disconnected") << VPNStatus::disconnected << true;
        QTest::newRow("connecting") << VPNStatus::connecting << false;
        QTest::newRow("connected") << VPNStatus::connected << false;
    }

    // Connect works only while disconnected, Disconnect otherwise, even before a profile exists (it
    // does no harm). The icon shows whether the tunnel is connected.
    void connectAndDisconnect()
    {
        QFETCH(VPNStatus, status);
        QFETCH(bool, connect);
        TrayFixture f;
        f.groups.addServer(makeTestServer(u"One"_s));
        FakeTunnelConnection *connection
            = status == VPNStatus::invalid ? nullptr : &loadSavedTunnel(f.platform, f.vpn, status);
        QCOMPARE(f.tray.showsConnected(), status == VPNStatus::connected);
        // An item is enabled only while shown, which the catalogue's first server brings about.
        QCOMPARE(item(f.tray.menu(), u"Connect"_s)->isEnabled(), connect);
        QCOMPARE(item(f.tray.menu(), u"Disconnect"_s)->isEnabled(), !connect);
        item(f.tray.menu(), u"Connect"_s)->trigger();
        item(f.tray.menu(), u"Disconnect"_s)->trigger();
        QCOMPARE(f.connects, connect ? 1 : 0);
        settle();
        if (connection)
            QTRY_COMPARE(connection->stops, connect ? 0 : 1);
    }

    // Items 1 to 9 only while the catalogue holds something, an empty subscription included; checking
    // for updates needs a feed. Servers are listed under their subscription, the selected one checked.
    // Choosing it changes nothing, not even the stored catalogue; choosing another moves the check
    // mark and stores it.
    void catalogueItems()
    {
        TrayFixture f;
        loadSavedTunnel(f.platform, f.vpn, VPNStatus::disconnected);
        QCOMPARE(opened(f.tray.menu()), (QStringList { u"Show"_s, u"Quit"_s }));
        f.groups.addSubscription(subscription(u"Empty"_s, {}));
        QCOMPARE(opened(f.tray.menu()),
            (QStringList { u"(Status: Not connected)"_s, u"---"_s, u"Connect"_s, u"(Disconnect)"_s, u"---"_s,
                u"Servers"_s, u"---"_s, u"(Check for Updates…)"_s, u"Settings..."_s, u"---"_s, u"Show"_s, u"Quit"_s }));
        UpdateChecker feed(QUrl(u"https://updates.example/feed.json"_s), u"1.0"_s);
        QVERIFY(item(TrayIcon(f.vpn, f.groups, feed, {}).menu(), u"Check for Updates…"_s)->isEnabled());

        f.groups.addSubscription(
            subscription(u"Pair"_s, { makeTestServer(u"a"_s), makeTestServer(u"b"_s, VMessSettings {}) }));
        f.groups.addServer(makeTestServer(u"m"_s, VLESSSettings {}));
        f.groups.selectDefaultServer();
        f.store.waitForPendingWrites();
        f.store.remove(u"groups"_s);
        QMenu *menu = f.tray.serversMenu();
        QCOMPARE(opened(menu),
            (QStringList { u"---"_s, u"(Subscription: Empty)"_s, u"---"_s, u"(Subscription: Pair)"_s,
                u"a - Shadowsocks"_s, u"b - VMess"_s, u"---"_s, u"m - VLESS *"_s }));
        item(menu, u"m - VLESS"_s)->trigger();
        QVERIFY(item(menu, u"m - VLESS"_s)->isChecked());
        f.store.waitForPendingWrites();
        QVERIFY(!f.store.data(u"groups"_s));

        item(menu, u"b - VMess"_s)->trigger();
        QCOMPARE(opened(menu).filter(u" *"_s), QStringList { u"b - VMess *"_s });
        f.store.waitForPendingWrites();
        QCOMPARE(GroupCollection::load(f.store)->selectedServer()->name(), u"b"_s);
    }

    // A catalogue too large for one menu is offered group by group, in submenus filled as they open.
    void largeCatalogue()
    {
        TrayFixture f;
        QList<ServerPtr> servers;
        for (int i = 0; i < 600; ++i)
            servers.append(makeTestServer(u"s"_s + QString::number(i)));
        f.groups.addSubscription(subscription(u"Big"_s, servers));
        f.groups.addServer(makeTestServer(u"mine"_s));
        f.groups.setSelectedServer(servers.last());
        QCOMPARE(opened(f.tray.serversMenu()),
            (QStringList { u"---"_s, u"Subscription: Big *"_s, u"---"_s, u"My servers"_s }));
        QMenu *big = item(f.tray.serversMenu(), u"Subscription: Big"_s)->menu();
        QCOMPARE(opened(big), (QStringList { u"Servers 1–250"_s, u"Servers 251–500"_s, u"Servers 501–600"_s }));
        QMenu *tail = item(big, u"Servers 501–600"_s)->menu();
        QCOMPARE(opened(tail).mid(99), QStringList { u"s599 - Shadowsocks *"_s });
        item(tail, u"s500 - Shadowsocks"_s)->trigger();
        QCOMPARE(f.groups.selectedServer(), servers[500]);
    }

    // An update check's answer is told in a box, the latest in place of the last; only a newer
    // version offers its page, and the button hands exactly that page to the browser.
    void updatePrompt()
    {
        UpdateChecker checker(QUrl(), u"1.0"_s);
        QList<QUrl> opened;
        UpdatePrompt prompt(checker, [&opened](const QUrl &url) {
            opened.append(url);
            return true;
        });
        const QUrl page(u"https://wrenlow.example/download"_s);
        const auto answer = [&](UpdateCheckResult::Kind kind) {
            Q_EMIT checker.checkFinished({ kind, u"2.0"_s, page, u"timed out"_s });
            return QStringList { prompt.box()->text(), prompt.box()->informativeText() };
        };
        QCOMPARE(answer(UpdateCheckResult::Kind::current),
            (QStringList { u"Wrenlow is up to date."_s, u"Version 2.0 is the newest version."_s }));
        QCOMPARE(answer(UpdateCheckResult::Kind::failure),
            (QStringList { u"Wrenlow could not check for updates."_s, u"timed out"_s }));
        QCOMPARE(prompt.box()->buttons().size(), 1);
        QCOMPARE(answer(UpdateCheckResult::Kind::newer),
            (QStringList { u"Wrenlow 2.0 is available."_s, u"You have version 1.0."_s }));
        QCOMPARE(prompt.box()->defaultButton()->text(), u"Open Download Page"_s);
        prompt.box()->defaultButton()->click();
        QCOMPARE(opened, QList<QUrl> { page });
    }
};

WRENLOW_TEST(TrayIconTest)
#include "tst_trayicon.moc"
