#include "app/catalogue/groupcollection.h"
#include "app/tunnel/vpnmanager.h"
#include "app/updates/updatechecker.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/tray/trayicon.h"

#include <QAction>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(VPNStatus)

namespace {

// The visible items of a menu: "---" for a separator, "(text)" for a disabled item, "text *" for
// a checked one.
QStringList items(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions()) {
        if (!action->isVisible())
            continue;
        QString text = action->isSeparator() ? u"---"_s : action->text();
        if (!action->isEnabled())
            text = u"("_s + text + u")"_s;
        if (action->isChecked())
            text += u" *"_s;
        texts.append(text);
    }
    return texts;
}

QAction *item(const QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

QStringList opened(QMenu *menu)
{
    Q_EMIT menu->aboutToShow();
    return items(menu);
}

} // namespace

struct TrayFixture {
    QTemporaryDir dir;
    DefaultsStore store { dir.filePath(u"store"_s) };
    GroupCollection groups { store };
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    UpdateChecker updates;
    int connects = 0;
    TrayIcon tray { vpn, groups, updates, [this]() -> QCoro::Task<> {
                       ++connects;
                       co_return;
                   } };

    explicit TrayFixture(const QUrl &feed = {})
        : updates(feed, u"1.0"_s)
    {
    }
};

class TrayIconTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusAndEnabling_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("connect");
        QTest::addColumn<bool>("disconnect");
        QTest::newRow("no profile yet") << VPNStatus::invalid << u"Status: Not connected"_s << false << true;
        QTest::newRow("disconnected") << VPNStatus::disconnected << u"Status: Not connected"_s << true << false;
        QTest::newRow("connecting") << VPNStatus::connecting << u"Status: Connecting..."_s << false << true;
        QTest::newRow("connected") << VPNStatus::connected << u"Status: Connected"_s << false << true;
        QTest::newRow("reasserting") << VPNStatus::reasserting << u"Status: Reconnecting..."_s << false << true;
        QTest::newRow("disconnecting") << VPNStatus::disconnecting << u"Status: Disconnecting..."_s << false << true;
    }

    void statusAndEnabling()
    {
        QFETCH(VPNStatus, status);
        QFETCH(QString, line);
        QFETCH(bool, connect);
        QFETCH(bool, disconnect);
        TrayFixture fixture;
        fixture.groups.addServer(makeTestServer(u"One"_s));
        FakeTunnelConnection *connection = nullptr;
        if (status != VPNStatus::invalid)
            connection = &loadSavedTunnel(fixture.platform, fixture.vpn, status);
        QMenu *menu = fixture.tray.menu();
        QCOMPARE(items(menu).first(), u"("_s + line + u")"_s);
        QCOMPARE(item(menu, u"Connect"_s)->isEnabled(), connect);
        QCOMPARE(item(menu, u"Disconnect"_s)->isEnabled(), disconnect);
        QCOMPARE(fixture.tray.showsConnected(), status == VPNStatus::connected);
        item(menu, u"Connect"_s)->trigger();
        QTRY_COMPARE(fixture.connects, connect ? 1 : 0);
        item(menu, u"Disconnect"_s)->trigger();
        settle();
        if (connection)
            QTRY_COMPARE(connection->stops, disconnect ? 1 : 0);
    }

    // Items 1 to 9 only while the catalogue holds something; an empty subscription still counts.
    void catalogueItems_data()
    {
        QTest::addColumn<bool>("subscription");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<QStringList>("servers");
        QTest::newRow("empty") << false << false << QStringList();
        QTest::newRow("empty subscription") << true << false
                                            << QStringList { u"---"_s, u"(Subscription: Empty)"_s, u"---"_s,
                                                   u"(Subscription: Pair)"_s, u"a - Shadowsocks *"_s, u"b - VMess"_s };
        QTest::newRow("manual servers, no heading") << false << true << QStringList { u"---"_s, u"m - VLESS *"_s };
        QTest::newRow("both") << true << true
                              << QStringList { u"---"_s, u"(Subscription: Empty)"_s, u"---"_s,
                                     u"(Subscription: Pair)"_s, u"a - Shadowsocks"_s, u"b - VMess"_s, u"---"_s,
                                     u"m - VLESS *"_s };
    }

    void catalogueItems()
    {
        QFETCH(bool, subscription);
        QFETCH(bool, manual);
        QFETCH(QStringList, servers);
        TrayFixture fixture;
        loadSavedTunnel(fixture.platform, fixture.vpn, VPNStatus::disconnected);
        if (subscription) {
            fixture.groups.addSubscription(std::make_shared<ServerGroup>(
                SubscriptionType { u"Empty"_s, u"https://e.example"_s }, QList<ServerPtr> {}));
            fixture.groups.addSubscription(
                std::make_shared<ServerGroup>(SubscriptionType { u"Pair"_s, u"https://p.example"_s },
                    QList<ServerPtr> { makeTestServer(u"a"_s), makeTestServer(u"b"_s, VMessSettings {}) }));
        }
        if (manual)
            fixture.groups.addServer(makeTestServer(u"m"_s, VLESSSettings {}));
        fixture.groups.selectDefaultServer();
        const QStringList top = opened(fixture.tray.menu());
        if (servers.isEmpty()) {
            QCOMPARE(top, (QStringList { u"Show"_s, u"Quit"_s }));
            return;
        }
        QCOMPARE(top,
            (QStringList { u"(Status: Not connected)"_s, u"---"_s, u"Connect"_s, u"(Disconnect)"_s, u"---"_s,
                u"Servers"_s, u"---"_s, u"(Check for Updates…)"_s, u"Settings..."_s, u"---"_s, u"Show"_s, u"Quit"_s }));
        QCOMPARE(opened(fixture.tray.serversMenu()), servers);
    }

    void choosing_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<bool>("changes");
        QTest::newRow("the selected server") << u"One - Shadowsocks"_s << false;
        QTest::newRow("another server") << u"Two - Shadowsocks"_s << true;
    }

    // Choosing another server moves the check mark and stores the selection; the selected one
    // changes nothing, not even the stored catalogue.
    void choosing()
    {
        QFETCH(QString, chosen);
        QFETCH(bool, changes);
        TrayFixture fixture;
        const ServerPtr one = makeTestServer(u"One"_s);
        const ServerPtr two = makeTestServer(u"Two"_s);
        fixture.groups.addServer(one);
        fixture.groups.addServer(two);
        fixture.groups.setSelectedServer(one);
        fixture.store.waitForPendingWrites();
        fixture.store.remove(u"groups"_s);
        Q_EMIT fixture.tray.serversMenu()->aboutToShow();
        item(fixture.tray.serversMenu(), chosen)->trigger();
        QCOMPARE(fixture.groups.selectedServer(), changes ? two : one);
        QCOMPARE(opened(fixture.tray.serversMenu()),
            (QStringList { u"---"_s, changes ? u"One - Shadowsocks"_s : u"One - Shadowsocks *"_s,
                changes ? u"Two - Shadowsocks *"_s : u"Two - Shadowsocks"_s }));
        fixture.store.waitForPendingWrites();
        QCOMPARE(fixture.store.data(u"groups"_s).has_value(), changes);
        if (changes)
            QCOMPARE(GroupCollection::load(fixture.store)->selectedServer()->id(), two->id());
    }

    // A catalogue too large for one menu is offered group by group, in submenus filled as they open.
    void largeCatalogue()
    {
        TrayFixture fixture;
        QList<ServerPtr> servers;
        for (int i = 0; i < 600; ++i)
            servers.append(makeTestServer(u"s"_s + QString::number(i)));
        fixture.groups.addSubscription(
            std::make_shared<ServerGroup>(SubscriptionType { u"Big"_s, u"https://b.example"_s }, servers));
        fixture.groups.addServer(makeTestServer(u"mine"_s));
        fixture.groups.setSelectedServer(servers.last());
        QCOMPARE(opened(fixture.tray.serversMenu()),
            (QStringList { u"---"_s, u"Subscription: Big *"_s, u"---"_s, u"My servers"_s }));
        QMenu *big = item(fixture.tray.serversMenu(), u"Subscription: Big"_s)->menu();
        QCOMPARE(opened(big), (QStringList { u"Servers 1–250"_s, u"Servers 251–500"_s, u"Servers 501–600"_s }));
        QMenu *tail = item(big, u"Servers 501–600"_s)->menu();
        const QStringList tailItems = opened(tail);
        QCOMPARE(tailItems.size(), 100);
        QCOMPARE(tailItems.last(), u"s599 - Shadowsocks *"_s);
        item(tail, u"s500 - Shadowsocks"_s)->trigger();
        QCOMPARE(fixture.groups.selectedServer(), servers[500]);
    }

    void updatesCommand_data()
    {
        QTest::addColumn<QUrl>("feed");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("no feed") << QUrl() << false;
        QTest::newRow("feed") << QUrl(u"https://updates.example/feed.json"_s) << true;
    }

    void updatesCommand()
    {
        QFETCH(QUrl, feed);
        QFETCH(bool, enabled);
        TrayFixture fixture(feed);
        fixture.groups.addServer(makeTestServer(u"One"_s));
        QCOMPARE(item(fixture.tray.menu(), u"Check for Updates…"_s)->isEnabled(), enabled);
    }
};

WRENLOW_TEST(TrayIconTest)
#include "tst_trayicon.moc"
