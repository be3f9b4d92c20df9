#include "../uitesting.h"
#include "app/catalogue/catalogueitemmodel.h"
#include "app/catalogue/statuschecks.h"
#include "app/catalogue/subscriptionloader.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "testregistry.h"
#include "ui/common/alert.h"
#include "ui/servers/serverdetailsscreen.h"
#include "ui/servers/serverrowdelegate.h"
#include "ui/servers/serverslistview.h"
#include "ui/servers/serversscreen.h"

#include <QCoroSignal>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

// Answers every check with `answer`; while `hold` is set the answers wait for release().
class FakeProbe final : public QObject, public StatusProbe {
    Q_OBJECT

public:
    QCoro::Task<OnlineStatus> checkStatus(ServerPtr server) override
    {
        checked.append(server->name());
        if (hold)
            co_await qCoro(this, &FakeProbe::released);
        co_return answer;
    }
    QCoro::Task<OnlineStatus> checkCurrentStatus() override { co_return answer; }
    bool hasProfile() const override { return true; }
    QCoro::Task<> prepareProfile(ServerPtr) override { co_return; }
    void release()
    {
        hold = false;
        Q_EMIT released();
    }

    QStringList checked;
    OnlineStatus answer = OnlineStatus::online;
    bool hold = false;

Q_SIGNALS:
    void released();
};

VLESSSettings vless(const QString &security, const QString &flow)
{
    return { u"edge.example.org"_s, 443, {}, flow, {}, security, {}, {}, {}, {}, {} };
}

// The names the rows show; servers' names come from the shared helper.
QStringList names(const QModelIndexList &rows)
{
    QStringList names;
    for (const QModelIndex &row : rows)
        names.append(row.data().toString());
    return names;
}

// A catalogue of "Alpha" (Fra, Ams, Tokyo) and "Beta" (Lima) subscriptions from `site` and one manual
// server (Home), Fra selected, shown in a window's stack as the main window shows it.
struct Fixture : TestCatalogue {
    FakeProbe probe;
    SubscriptionLoader loader;
    ScreenStack stack;
    ServersScreen *screen = nullptr;

    explicit Fixture(bool subscriptions = true, bool manual = true, const QString &site = u"http://127.0.0.1:1"_s)
    {
        if (subscriptions) {
            VMessSettings vmess;
            vmess.address = u"jp.example.com"_s;
            groups.addSubscription(std::make_shared<ServerGroup>(SubscriptionType { u"Alpha"_s, site + u"/a"_s },
                QList<ServerPtr> { makeTestServer(u"Fra"_s), makeTestServer(u"Ams"_s, vless(u"reality"_s, {})),
                    makeTestServer(u"Tokyo"_s, vmess) }));
            groups.addSubscription(std::make_shared<ServerGroup>(
                SubscriptionType { u"Beta"_s, site + u"/b"_s }, QList<ServerPtr> { makeTestServer(u"Lima"_s) }));
        }
        if (manual)
            groups.addServer(makeTestServer(u"Home"_s));
        groups.setSelectedServer(groups.allServers().first());
        screen = new ServersScreen(groups, probe, loader);
        stack.setRoot(screen);
        stack.resize(420, 570);
        stack.show();
        QVERIFY(QTest::qWaitForWindowExposed(&stack));
    }

    ServersListView *list() const { return screen->list(); }
    QWidget *viewport() const { return list()->viewport(); }
    // The group headings, or given one, the rows under it.
    QModelIndexList headings(const QModelIndex &parent = {}) const
    {
        QModelIndexList children;
        for (int row = 0; row < list()->model()->rowCount(parent); ++row)
            children.append(list()->model()->index(row, 0, parent));
        return children;
    }
    QModelIndexList rows() const
    {
        QModelIndexList rows;
        for (const QModelIndex &heading : headings())
            rows += headings(heading);
        return rows;
    }
    QModelIndex rowOf(const QString &name) const { return rows().value(names(rows()).indexOf(name)); }
    QPoint centre(const QString &name) const { return list()->visualRect(rowOf(name)).center(); }
    QStringList highlighted() const { return names(screen->highlightedServers()); }
    QStringList visibleTexts() const
    {
        QStringList texts;
        for (auto *label : stack.findChildren<QLabel *>()) {
            if (label->isVisible())
                texts.append(label->text());
        }
        return texts;
    }
    void click(const QString &name, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(viewport(), Qt::LeftButton, modifiers, centre(name));
    }
    // A right click on the row; the menu it opens, if any.
    QMenu *rightClick(const QString &name)
    {
        const QPoint at = centre(name);
        // QTest hands the click to the widget directly; the window system would follow it with this.
        QTest::mouseClick(viewport(), Qt::RightButton, {}, at);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(viewport(), &event);
        return screen->contextMenu();
    }
};

// Pixels of the warning red in a heading as painted.
int redPixels(ServersListView *list, const QModelIndex &heading)
{
    const QImage image = list->viewport()->grab(list->visualRect(heading)).toImage();
    int red = 0;
    for (int i = 0; i < image.width() * image.height(); ++i) {
        const QColor colour = image.pixelColor(i % image.width(), i / image.width());
        red += colour.red() > 200 && colour.green() < 120 && colour.blue() < 120 ? 1 : 0;
    }
    return red;
}

} // namespace

class ServersScreenTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A row's hover buttons, the menu on the highlighted rows and a double click, as a person uses them.
    void rowGestures_data()
    {
        QTest::addColumn<QStringList>("highlight");
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("checked");
        QTest::addColumn<QString>("edited");
        QTest::addColumn<int>("highlighted");
        const QStringList none, tokyo { u"Tokyo"_s }, two { u"Home"_s, u"Ams"_s }, ams { u"Ams"_s };
        // Buttons act on their row alone: the highlighted rows stay as they were.
        QTest::newRow("connect button") << none << u"connect"_s << u"Tokyo"_s << u"Tokyo"_s << none << QString() << 0;
        QTest::newRow("check button") << none << u"refresh"_s << u"Ams"_s << u"Fra"_s << ams << QString() << 0;
        QTest::newRow("info button") << none << u"info"_s << u"Home"_s << u"Fra"_s << none << u"Home"_s << 0;
        QTest::newRow("menu, connect") << tokyo << u"Connect"_s << u"Tokyo"_s << u"Tokyo"_s << none << QString() << 1;
        QTest::newRow("menu, details") << tokyo << u"Details..."_s << u"Tokyo"_s << u"Fra"_s << none << u"Tokyo"_s << 1;
        // Checked in the catalogue's order, whatever the order of the clicks.
        QTest::newRow("menu on two, check") << two << u"Check online status"_s << u"Ams"_s << u"Fra"_s
                                            << QStringList { u"Ams"_s, u"Home"_s } << QString() << 2;
        QTest::newRow("menu on two, connect") << two << u"Connect"_s << u"Ams"_s << u"Ams"_s << none << QString() << 2;
        // A double click's first click highlights; with Shift it extends the highlight and connects nothing.
        QTest::newRow("double click") << ams << u"double"_s << u"Tokyo"_s << u"Tokyo"_s << none << QString() << 1;
        QTest::newRow("shift double click")
            << ams << u"shift double"_s << u"Tokyo"_s << u"Fra"_s << none << QString() << 2;
    }

    void rowGestures()
    {
        QFETCH(QStringList, highlight);
        QFETCH(QString, gesture);
        QFETCH(QString, row);
        QFETCH(QString, selected);
        QFETCH(QStringList, checked);
        QFETCH(QString, edited);
        QFETCH(int, highlighted);
        using Button = ServerRowDelegate::Button;
        const QHash<QString, Button> buttons { { u"connect"_s, Button::connect }, { u"refresh"_s, Button::refresh },
            { u"info"_s, Button::info } };
        Fixture f;
        QSignalSpy edits(f.screen, &ServersScreen::editServerRequested);
        for (qsizetype i = 0; i < highlight.size(); ++i)
            f.click(highlight.at(i), i == 0 ? Qt::NoModifier : Qt::ControlModifier);
        const QModelIndex index = f.rowOf(row);
        ServerRowDelegate *rows = f.list()->rowDelegate();
        if (buttons.contains(gesture)) {
            const QRect button = rows->buttonRect(f.list()->rowOption(index), index, buttons[gesture]);
            QVERIFY(button.isValid());
            QTest::mouseMove(f.viewport(), button.center());
            QTRY_COMPARE(rows->hoveredIndex(), index);
            QTest::mouseClick(f.viewport(), Qt::LeftButton, {}, button.center());
        } else if (gesture.endsWith(u"double"_s)) {
            const Qt::KeyboardModifiers modifiers = gesture.startsWith(u"shift"_s) ? Qt::ShiftModifier : Qt::NoModifier;
            f.click(row, modifiers);
            QTest::mouseDClick(f.viewport(), Qt::LeftButton, modifiers, f.centre(row));
        } else {
            QMenu *menu = f.rightClick(row);
            QVERIFY(menu);
            QCOMPARE(withText(menu->actions(), u"Details..."_s)->isEnabled(), highlight.size() == 1);
            withText(menu->actions(), gesture)->trigger();
        }

        QCOMPARE(f.highlighted().size(), highlighted);
        QCOMPARE(f.groups.selectedServer()->name(), selected);
        // Stored, as the next start reads it.
        f.store.waitForPendingWrites();
        QCOMPARE(GroupCollection::load(f.store)->selectedServer()->id(), f.groups.selectedServer()->id());
        QTRY_COMPARE(f.probe.checked, checked);
        QTRY_VERIFY(!f.groups.findServer(index.data(CatalogueItemModel::IdRole).toUuid())->inProgress());
        QCOMPARE(edits.count(), edited.isEmpty() ? 0 : 1);
        if (!edits.isEmpty())
            QCOMPARE(edits.first().first().value<ServerPtr>()->name(), edited);
        // The selected server's row has nothing to connect to.
        const QModelIndex now = f.rowOf(selected);
        QVERIFY(rows->buttonRect(f.list()->rowOption(now), now, Button::connect).isNull());
    }

    void toolbar_data()
    {
        QTest::addColumn<bool>("subscriptions");
        QTest::addColumn<QStringList>("checked");
        QTest::newRow("both") << true << QStringList { u"Fra"_s, u"Ams"_s, u"Tokyo"_s, u"Lima"_s, u"Home"_s };
        QTest::newRow("only manual servers") << false << QStringList { u"Home"_s };
    }

    void toolbar()
    {
        QFETCH(bool, subscriptions);
        QFETCH(QStringList, checked);
        Fixture f(subscriptions);
        QCOMPARE(shown(&f.stack, u"Update subscriptions"_s) != nullptr, subscriptions);
        QSignalSpy adds(f.screen, &ServersScreen::addServersRequested);
        click(&f.stack, u"Add server"_s);
        QCOMPARE(adds.count(), 1);

        f.probe.hold = true;
        click(&f.stack, u"Check status"_s);
        QTRY_COMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::checkingStatus);
        QVERIFY(f.visibleTexts().contains(u"Checking status..."_s));
        QCOMPARE(f.probe.checked, checked);
        f.probe.release();
        QTRY_COMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::none);
        QVERIFY(!f.visibleTexts().contains(u"Checking status..."_s));
        for (const ServerPtr &server : f.groups.allServers())
            QCOMPARE(server->status(), OnlineStatus::online);

        // The first subscription brings the button.
        f.groups.addSubscription(
            std::make_shared<ServerGroup>(SubscriptionType {}, QList<ServerPtr> { makeTestServer(u"X"_s) }));
        QVERIFY(shown(&f.stack, u"Update subscriptions"_s));
    }

    // One subscription loads, one yields no server: one alert, only the failed heading marked.
    void forcedRefreshMarksTheFailedGroup()
    {
        TestHttpServer site;
        QVERIFY(site.start());
        const QList<std::pair<QByteArray, QByteArray>> answers {
            { "/a", "ss://aes-256-gcm:pw@new.example.net:8388#New\n" }, { "/b", "no proxies here\n" }
        };
        for (const auto &[path, body] : answers)
            site.route(path, { .body = body, .held = true });
        Fixture f(true, false, site.url({}).toString());
        QSignalSpy shown(f.screen->alert(), &Alert::isShownChanged);

        click(&f.stack, u"Update subscriptions"_s);
        QCOMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::updatingSubscription);
        QVERIFY(f.visibleTexts().contains(u"Updating subscriptions..."_s));
        QTRY_COMPARE(site.requests().size(), 2);
        for (const auto &[path, body] : answers)
            site.route(path, body);
        site.release();
        QTRY_COMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::none);

        QCOMPARE(shown.count(), 1);
        QCOMPARE((QStringList { f.screen->alert()->title(), f.screen->alert()->message() }),
            (QStringList {
                u"Some subscriptions failed to update"_s, u"No servers found in the provided subscription URL"_s }));
        QCOMPARE(names(f.rows()), (QStringList { u"New"_s, u"Lima"_s }));
        QCOMPARE(redPixels(f.list(), f.headings().at(0)), 0);
        QVERIFY(redPixels(f.list(), f.headings().at(1)) > 10);
        f.screen->alert()->close();
    }

    void filter_data()
    {
        QTest::addColumn<QString>("text");
        // A server renamed, or added when "renamed" is empty, while the text is set.
        QTest::addColumn<QString>("renamed");
        QTest::addColumn<QString>("newName");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("headings");
        const QStringList alpha { u"Alpha"_s };
        QTest::newRow("name") << u"tok"_s << u"-"_s << QString() << QStringList { u"Tokyo"_s } << alpha;
        QTest::newRow("address") << u"jp.example"_s << u"-"_s << QString() << QStringList { u"Tokyo"_s } << alpha;
        QTest::newRow("protocol") << u"VLESS"_s << u"-"_s << QString() << QStringList { u"Ams"_s } << alpha;
        QTest::newRow("several groups") << u"shadowsocks"_s << u"-"_s << QString()
                                        << QStringList { u"Fra"_s, u"Lima"_s, u"Home"_s }
                                        << QStringList { u"Alpha"_s, u"Beta"_s, u"My servers"_s };
        QTest::newRow("rename into the filter")
            << u"tokyo"_s << u"Lima"_s << u"Tokyo 2"_s << QStringList { u"Tokyo"_s, u"Tokyo 2"_s }
            << QStringList { u"Alpha"_s, u"Beta"_s };
        QTest::newRow("rename out of the filter")
            << u"tokyo"_s << u"Tokyo"_s << u"Kyoto"_s << QStringList {} << QStringList {};
        QTest::newRow("add a match") << u"tokyo"_s << QString() << u"Tokyo home"_s
                                     << QStringList { u"Tokyo"_s, u"Tokyo home"_s }
                                     << QStringList { u"Alpha"_s, u"My servers"_s };
    }

    // Filtering hides rows without forgetting them: clearing brings back every row and highlight.
    void filter()
    {
        QFETCH(QString, text);
        QFETCH(QString, renamed);
        QFETCH(QString, newName);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, headings);
        Fixture f;
        // Highlights are followed through filtering alone.
        const bool changes = renamed != u"-" && !renamed.isEmpty();
        if (!changes) {
            f.click(u"Tokyo"_s);
            f.click(u"Home"_s, Qt::ControlModifier);
        }
        const QList<ServerPtr> highlighted = f.screen->highlightedServers();
        // Turns of the event loop, in which the filter prepares what it searches.
        QTest::qWait(50);
        QTest::keyClicks(f.screen->filterField(), text);
        QCOMPARE(names(f.rows()), changes || renamed.isEmpty() ? QStringList { u"Tokyo"_s } : shown);
        if (renamed.isEmpty())
            f.groups.addServer(makeTestServer(newName));
        for (const ServerPtr &server : f.groups.allServers()) {
            if (server->name() == renamed)
                server->setName(newName);
        }
        QTRY_COMPARE(names(f.rows()), shown);
        QCOMPARE(names(f.headings()), headings);
        for (const QString &name : { u"Tokyo"_s, u"Home"_s })
            QCOMPARE(f.highlighted().contains(name), !changes && shown.contains(name));

        f.screen->filterField()->clear();
        QCOMPARE(names(f.rows()), names(f.groups.allServers()));
        QCOMPARE(f.screen->highlightedServers(), highlighted);
        QVERIFY(f.list()->isExpanded(f.headings().at(0)));
    }

    void details_data()
    {
        QTest::addColumn<ServerPtr>("server");
        // The Security row with its value.
        QTest::addColumn<QStringList>("labels");
        const QStringList common { u"Name:"_s, u"Protocol:"_s, u"Address:"_s, u"Port:"_s };
        QTest::newRow("shadowsocks") << makeTestServer(u"Fra"_s) << common + QStringList { u"Status:"_s };
        QTest::newRow("vless, security none")
            << makeTestServer(u"V"_s, vless(u"none"_s, {})) << common + QStringList { u"Status:"_s };
        QTest::newRow("vless, security empty, flow set") << makeTestServer(u"V"_s, vless({}, u"xtls-rprx-vision"_s))
                                                         << common + QStringList { u"Flow:"_s, u"Status:"_s };
        QTest::newRow("vless, reality") << makeTestServer(u"V"_s, vless(u"reality"_s, {}))
                                        << common + QStringList { u"Security: REALITY"_s, u"Status:"_s };
    }

    void details()
    {
        QFETCH(ServerPtr, server);
        QFETCH(QStringList, labels);
        FakeProbe probe;
        probe.answer = OnlineStatus::offline;
        ScreenStack stack;
        auto *details = new ServerDetailsScreen(server, probe);
        stack.setRoot(details);
        stack.show();
        QStringList shownLabels;
        for (const auto &[label, value] : details->rows())
            shownLabels.append(label == u"Security:"_s ? label + u' ' + value : label);
        QCOMPARE(shownLabels, labels);
        QCOMPARE(details->rows().last().second, u"Unknown"_s);

        click(&stack, u"Check Status"_s);
        QTRY_COMPARE(details->rows().last().second, u"Offline"_s);
        QSignalSpy edits(details, &ServerDetailsScreen::editRequested);
        click(&stack, u"Edit"_s);
        QCOMPARE(edits.count(), 1);
        // A rename elsewhere shows at once.
        server->setName(u"Renamed"_s);
        QCOMPARE(details->rows().first().second, u"Renamed"_s);
    }
};

WRENLOW_TEST(ServersScreenTest)
#include "tst_serversscreen.moc"
