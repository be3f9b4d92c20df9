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

Q_DECLARE_METATYPE(UpdateCheckResult::Kind)

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

// The menu is built as it opens.
QStringList opened(QMenu *menu)
{
    Q_EMIT menu->aboutToShow();
    return items(menu);
}

QAction *item(const QMenu *menu, const QString &text)
{
    return withText(menu->actions(), text);
}

} // namespace

struct TrayFixture : TestCatalogue {
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

// The tray menu, and the prompt an update check from it opens.
class TrayIconTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The status line's texts are the tunnel's own; the startup suite reads one in the tray.
    void statusAndEnabling_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<bool>("connect");
        QTest::addColumn<bool>("disconnect");
        QTest::newRow("no profile yet") << VPNStatus::invalid << false << true;
        QTest::newRow("disconnected") << VPNStatus::disconnected << true << false;
        QTest::newRow("connecting") << VPNStatus::connecting << false << true;
        QTest::newRow("connected") << VPNStatus::connected << false << true;
    }

    void statusAndEnabling()
    {
        QFETCH(VPNStatus, status);
        QFETCH(bool, connect);
        QFETCH(bool, disconnect);
        TrayFixture f;
        f.groups.addServer(makeTestServer(u"One"_s));
        FakeTunnelConnection *connection = nullptr;
        if (status != VPNStatus::invalid)
            connection = &loadSavedTunnel(f.platform, f.vpn, status);
        QMenu *menu = f.tray.menu();
        QCOMPARE(item(menu, u"Connect"_s)->isEnabled(), connect);
        QCOMPARE(item(menu, u"Disconnect"_s)->isEnabled(), disconnect);
        QCOMPARE(f.tray.showsConnected(), status == VPNStatus::connected);
        item(menu, u"Connect"_s)->trigger();
        QTRY_COMPARE(f.connects, connect ? 1 : 0);
        item(menu, u"Disconnect"_s)->trigger();
        settle();
        if (connection)
            QTRY_COMPARE(connection->stops, disconnect ? 1 : 0);
    }

    // Items 1 to 9 only while the catalogue holds something; an empty subscription still counts. Checking
    // for updates needs a feed.
    void catalogueItems_data()
    {
        QTest::addColumn<bool>("subscription");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<QUrl>("feed");
        QTest::addColumn<QStringList>("servers");
        const QUrl feed(u"https://updates.example/feed.json"_s);
        QTest::newRow("empty") << false << false << feed << QStringList();
        QTest::newRow("empty subscription, no feed")
            << true << false << QUrl()
            << QStringList { u"---"_s, u"(Subscription: Empty)"_s, u"---"_s, u"(Subscription: Pair)"_s,
                   u"a - Shadowsocks *"_s, u"b - VMess"_s };
        QTest::newRow("both") << true << true << feed
                              << QStringList { u"---"_s, u"(Subscription: Empty)"_s, u"---"_s,
                                     u"(Subscription: Pair)"_s, u"a - Shadowsocks"_s, u"b - VMess"_s, u"---"_s,
                                     u"m - VLESS *"_s };
    }

    void catalogueItems()
    {
        QFETCH(bool, subscription);
        QFETCH(bool, manual);
        QFETCH(QUrl, feed);
        QFETCH(QStringList, servers);
        TrayFixture f(feed);
        loadSavedTunnel(f.platform, f.vpn, VPNStatus::disconnected);
        if (subscription) {
            f.groups.addSubscription(std::make_shared<ServerGroup>(
                SubscriptionType { u"Empty"_s, u"https://e.example"_s }, QList<ServerPtr> {}));
            f.groups.addSubscription(
                std::make_shared<ServerGroup>(SubscriptionType { u"Pair"_s, u"https://p.example"_s },
                    QList<ServerPtr> { makeTestServer(u"a"_s), makeTestServer(u"b"_s, VMessSettings {}) }));
        }
        if (manual)
            f.groups.addServer(makeTestServer(u"m"_s, VLESSSettings {}));
        f.groups.selectDefaultServer();
        const QStringList top = opened(f.tray.menu());
        if (servers.isEmpty()) {
            QCOMPARE(top, (QStringList { u"Show"_s, u"Quit"_s }));
            return;
        }
        const QString updates = feed.isEmpty() ? u"(Check for Updates…)"_s : u"Check for Updates…"_s;
        QCOMPARE(top,
            (QStringList { u"(Status: Not connected)"_s, u"---"_s, u"Connect"_s, u"(Disconnect)"_s, u"---"_s,
                u"Servers"_s, u"---"_s, updates, u"Settings..."_s, u"---"_s, u"Show"_s, u"Quit"_s }));
        QCOMPARE(opened(f.tray.serversMenu()), servers);
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
        TrayFixture f;
        const ServerPtr one = makeTestServer(u"One"_s);
        const ServerPtr two = makeTestServer(u"Two"_s);
        f.groups.addServer(one);
        f.groups.addServer(two);
        f.groups.setSelectedServer(one);
        f.store.waitForPendingWrites();
        f.store.remove(u"groups"_s);
        Q_EMIT f.tray.serversMenu()->aboutToShow();
        item(f.tray.serversMenu(), chosen)->trigger();
        QCOMPARE(f.groups.selectedServer(), changes ? two : one);
        QCOMPARE(opened(f.tray.serversMenu()),
            (QStringList { u"---"_s, changes ? u"One - Shadowsocks"_s : u"One - Shadowsocks *"_s,
                changes ? u"Two - Shadowsocks *"_s : u"Two - Shadowsocks"_s }));
        f.store.waitForPendingWrites();
        QCOMPARE(f.store.data(u"groups"_s).has_value(), changes);
        if (changes)
            QCOMPARE(GroupCollection::load(f.store)->selectedServer()->id(), two->id());
    }

    // A catalogue too large for one menu is offered group by group, in submenus filled as they open.
    void largeCatalogue()
    {
        TrayFixture f;
        QList<ServerPtr> servers;
        for (int i = 0; i < 600; ++i)
            servers.append(makeTestServer(u"s"_s + QString::number(i)));
        f.groups.addSubscription(
            std::make_shared<ServerGroup>(SubscriptionType { u"Big"_s, u"https://b.example"_s }, servers));
        f.groups.addServer(makeTestServer(u"mine"_s));
        f.groups.setSelectedServer(servers.last());
        QCOMPARE(opened(f.tray.serversMenu()),
            (QStringList { u"---"_s, u"Subscription: Big *"_s, u"---"_s, u"My servers"_s }));
        QMenu *big = item(f.tray.serversMenu(), u"Subscription: Big"_s)->menu();
        QCOMPARE(opened(big), (QStringList { u"Servers 1–250"_s, u"Servers 251–500"_s, u"Servers 501–600"_s }));
        QMenu *tail = item(big, u"Servers 501–600"_s)->menu();
        const QStringList tailItems = opened(tail);
        QCOMPARE(tailItems.size(), 100);
        QCOMPARE(tailItems.last(), u"s599 - Shadowsocks *"_s);
        item(tail, u"s500 - Shadowsocks"_s)->trigger();
        QCOMPARE(f.groups.selectedServer(), servers[500]);
    }

    void updatePrompt_data()
    {
        QTest::addColumn<UpdateCheckResult::Kind>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("details");
        QTest::newRow("newer") << UpdateCheckResult::Kind::newer << u"Wrenlow 2.0 is available."_s
                               << u"You have version 1.0."_s;
        QTest::newRow("current") << UpdateCheckResult::Kind::current << u"Wrenlow is up to date."_s
                                 << u"Version 2.0 is the newest version."_s;
        QTest::newRow("failure") << UpdateCheckResult::Kind::failure << u"Wrenlow could not check for updates."_s
                                 << u"timed out"_s;
    }

    // Only a newer version offers its page, and the button hands exactly that page to the browser.
    void updatePrompt()
    {
        QFETCH(UpdateCheckResult::Kind, kind);
        QFETCH(QString, text);
        QFETCH(QString, details);
        UpdateChecker checker(QUrl(), u"1.0"_s);
        QList<QUrl> opened;
        UpdatePrompt prompt(checker, [&opened](const QUrl &url) {
            opened.append(url);
            return true;
        });
        const QUrl page(u"https://wrenlow.example/download"_s);
        Q_EMIT checker.checkFinished({ kind, u"2.0"_s, page, u"timed out"_s });
        QMessageBox *box = prompt.box();
        QVERIFY(box);
        QCOMPARE(box->text(), text);
        QCOMPARE(box->informativeText(), details);
        auto *download = qobject_cast<QPushButton *>(withText(box->buttons(), u"Open Download Page"_s));
        QCOMPARE(download != nullptr, kind == UpdateCheckResult::Kind::newer);
        if (!download)
            return;
        QCOMPARE(box->defaultButton(), download);
        download->click();
        QCOMPARE(opened, QList<QUrl> { page });
    }
};

WRENLOW_TEST(TrayIconTest)
#include "tst_trayicon.moc"
