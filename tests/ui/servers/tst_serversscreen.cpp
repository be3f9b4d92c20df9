#include "app/catalogue/catalogueitemmodel.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/statuschecks.h"
#include "app/catalogue/subscriptionloader.h"
#include "core/foundation/defaultsstore.h"
#include "httpserver.h"
#include "testregistry.h"
#include "ui/common/alert.h"
#include "ui/servers/serverdetailsscreen.h"
#include "ui/servers/serverrowdelegate.h"
#include "ui/servers/serverslistview.h"
#include "ui/servers/serversscreen.h"

#include <QAbstractButton>
#include <QCoroSignal>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(ServerRowDelegate::Button)

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

ServerPtr server(const QString &name, ServerSettings settings = {})
{
    if (std::holds_alternative<ShadowsockSettings>(settings))
        settings
            = ShadowsockSettings { name.toLower() + u".example.net"_s, 8388, ShadowsocksCipher::aes256Gcm, u"pw"_s };
    return std::make_shared<Server>(name, settings, false);
}

VLESSSettings vless(const QString &security, const QString &flow)
{
    VLESSSettings settings;
    settings.address = u"edge.example.org"_s;
    settings.port = 443;
    settings.security = security;
    settings.flow = flow;
    return settings;
}

// A catalogue of "Alpha" (Fra, Ams, Tokyo) and "Beta" (Lima) subscriptions and one manual server
// (Home), Fra selected, shown in a window's stack as the main window shows it.
struct Fixture {
    QTemporaryDir dir;
    DefaultsStore store { dir.path() };
    GroupCollection groups { store };
    FakeProbe probe;
    SubscriptionLoader loader;
    ScreenStack stack;
    ServersScreen *screen = nullptr;
    ServerGroupPtr alpha;
    ServerGroupPtr beta;

    explicit Fixture(bool subscriptions = true, bool manual = true)
    {
        if (subscriptions) {
            VMessSettings vmess;
            vmess.address = u"jp.example.com"_s;
            alpha = std::make_shared<ServerGroup>(SubscriptionType { u"Alpha"_s, u"http://127.0.0.1:1/a"_s },
                QList<ServerPtr> {
                    server(u"Fra"_s), server(u"Ams"_s, vless(u"reality"_s, {})), server(u"Tokyo"_s, vmess) });
            beta = std::make_shared<ServerGroup>(
                SubscriptionType { u"Beta"_s, u"http://127.0.0.1:1/b"_s }, QList<ServerPtr> { server(u"Lima"_s) });
            groups.addSubscription(alpha);
            groups.addSubscription(beta);
        }
        if (manual)
            groups.addServer(server(u"Home"_s));
        groups.setSelectedServer(groups.allServers().first());
        screen = new ServersScreen(groups, probe, loader);
        stack.setRoot(screen);
        stack.resize(420, 570);
        stack.show();
        QVERIFY(QTest::qWaitForWindowExposed(&stack));
    }

    ServersListView *list() const { return screen->list(); }
    QWidget *viewport() const { return list()->viewport(); }

    QModelIndex rowOf(const QString &name) const
    {
        const QAbstractItemModel *model = list()->model();
        for (int group = 0; group < model->rowCount(); ++group) {
            const QModelIndex heading = model->index(group, 0);
            for (int row = 0; row < model->rowCount(heading); ++row) {
                if (model->index(row, 0, heading).data().toString() == name)
                    return model->index(row, 0, heading);
            }
        }
        return {};
    }
    QPoint centre(const QString &name) const { return list()->visualRect(rowOf(name)).center(); }
    QStringList shownServers() const
    {
        QStringList names;
        const QAbstractItemModel *model = list()->model();
        for (int group = 0; group < model->rowCount(); ++group) {
            for (int row = 0; row < model->rowCount(model->index(group, 0)); ++row)
                names.append(model->index(row, 0, model->index(group, 0)).data().toString());
        }
        return names;
    }
    QStringList highlighted() const
    {
        QStringList names;
        for (const ServerPtr &server : screen->highlightedServers())
            names.append(server->name());
        return names;
    }
    QStringList visibleTexts() const
    {
        QStringList texts;
        for (auto *label : stack.findChildren<QLabel *>()) {
            if (label->isVisible())
                texts.append(label->text());
        }
        return texts;
    }
    QAbstractButton *toolbarButton(const QString &name) const
    {
        for (auto *button : stack.findChildren<QAbstractButton *>()) {
            if (button->accessibleName() == name)
                return button;
        }
        return nullptr;
    }
    // The id the catalogue stores as selected, read back as the next start would.
    QUuid storedSelection()
    {
        store.waitForPendingWrites();
        const auto loaded = GroupCollection::load(store);
        return loaded->selectedServer() ? loaded->selectedServer()->id() : QUuid();
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

QAction *actionNamed(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

// Pixels of the warning red in a heading as painted.
int redPixels(ServersListView *list, const QModelIndex &heading)
{
    const QImage image = list->viewport()->grab(list->visualRect(heading)).toImage();
    int red = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            red += colour.red() > 200 && colour.green() < 120 && colour.blue() < 120 ? 1 : 0;
        }
    }
    return red;
}

} // namespace

class ServersScreenTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The buttons a row shows under the pointer, clicked as a person would.
    void hoverButtons_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<ServerRowDelegate::Button>("button");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("checked");
        QTest::addColumn<bool>("editRequested");
        QTest::newRow("connect") << u"Tokyo"_s << ServerRowDelegate::Button::connect << u"Tokyo"_s << QStringList {}
                                 << false;
        QTest::newRow("check status") << u"Ams"_s << ServerRowDelegate::Button::refresh << u"Fra"_s
                                      << QStringList { u"Ams"_s } << false;
        QTest::newRow("info") << u"Home"_s << ServerRowDelegate::Button::info << u"Fra"_s << QStringList {} << true;
    }

    void hoverButtons()
    {
        QFETCH(QString, row);
        QFETCH(ServerRowDelegate::Button, button);
        QFETCH(QString, selected);
        QFETCH(QStringList, checked);
        QFETCH(bool, editRequested);
        Fixture f;
        QSignalSpy edits(f.screen, &ServersScreen::editServerRequested);
        const QModelIndex index = f.rowOf(row);
        ServerRowDelegate *rows = f.list()->rowDelegate();
        QVERIFY(rows->buttonRect(f.list()->rowOption(index), index, button).isValid());
        const QPoint at = rows->buttonRect(f.list()->rowOption(index), index, button).center();
        QTest::mouseMove(f.viewport(), at);
        QTRY_COMPARE(rows->hoveredIndex(), QModelIndex(index));
        QTest::mouseClick(f.viewport(), Qt::LeftButton, {}, at);

        QCOMPARE(f.groups.selectedServer()->name(), selected);
        QCOMPARE(f.storedSelection(), f.groups.selectedServer()->id());
        QCOMPARE(f.probe.checked, checked);
        QTRY_VERIFY(!f.groups.findServer(f.rowOf(row).data(CatalogueItemModel::IdRole).toUuid())->inProgress());
        QCOMPARE(edits.count(), editRequested ? 1 : 0);
        if (editRequested)
            QCOMPARE(edits.first().first().value<ServerPtr>()->name(), row);
        // Buttons act on their row alone: the highlighted rows stay as they were.
        QCOMPARE(f.highlighted(), QStringList {});
        // The selected server's row has nothing to connect to.
        const QModelIndex now = f.rowOf(selected);
        QVERIFY(rows->buttonRect(f.list()->rowOption(now), now, ServerRowDelegate::Button::connect).isNull());
    }

    // The menu on the highlighted rows, with one and with two of them.
    void contextMenu_data()
    {
        QTest::addColumn<QStringList>("highlight");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("detailsEnabled");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("checked");
        const QStringList two { u"Home"_s, u"Ams"_s };
        QTest::newRow("one, connect") << QStringList { u"Tokyo"_s } << u"Connect"_s << true << u"Tokyo"_s
                                      << QStringList {};
        QTest::newRow("one, check") << QStringList { u"Tokyo"_s } << u"Check online status"_s << true << u"Fra"_s
                                    << QStringList { u"Tokyo"_s };
        // Checked in the catalogue's order, whatever the order of the clicks.
        QTest::newRow("two, check") << two << u"Check online status"_s << false << u"Fra"_s
                                    << QStringList { u"Ams"_s, u"Home"_s };
        QTest::newRow("two, connect") << two << u"Connect"_s << false << u"Ams"_s << QStringList {};
    }

    void contextMenu()
    {
        QFETCH(QStringList, highlight);
        QFETCH(QString, action);
        QFETCH(bool, detailsEnabled);
        QFETCH(QString, selected);
        QFETCH(QStringList, checked);
        Fixture f;
        QSignalSpy edits(f.screen, &ServersScreen::editServerRequested);
        for (qsizetype i = 0; i < highlight.size(); ++i)
            f.click(highlight.at(i), i == 0 ? Qt::NoModifier : Qt::ControlModifier);
        QMenu *menu = f.rightClick(highlight.last());
        QVERIFY(menu);
        QCOMPARE(f.highlighted().size(), highlight.size());
        QAction *details = actionNamed(menu, u"Details..."_s);
        QVERIFY(details);
        QCOMPARE(details->isEnabled(), detailsEnabled);
        actionNamed(menu, action)->trigger();
        QCOMPARE(f.groups.selectedServer()->name(), selected);
        QTRY_COMPARE(f.probe.checked, checked);
        if (detailsEnabled) {
            f.rightClick(highlight.last());
            actionNamed(f.screen->contextMenu(), u"Details..."_s)->trigger();
            QCOMPARE(edits.count(), 1);
            QCOMPARE(edits.first().first().value<ServerPtr>()->name(), highlight.last());
        }
    }

    void doubleClick_data()
    {
        QTest::addColumn<bool>("extend");
        QTest::addColumn<QString>("selected");
        QTest::newRow("one highlighted connects") << false << u"Tokyo"_s;
        QTest::newRow("two highlighted do nothing") << true << u"Fra"_s;
    }

    void doubleClick()
    {
        QFETCH(bool, extend);
        QFETCH(QString, selected);
        Fixture f;
        f.click(u"Ams"_s);
        // A double click's first click highlights; with Shift it extends the highlight instead.
        const Qt::KeyboardModifiers modifiers = extend ? Qt::ShiftModifier : Qt::NoModifier;
        f.click(u"Tokyo"_s, modifiers);
        QTest::mouseDClick(f.viewport(), Qt::LeftButton, modifiers, f.centre(u"Tokyo"_s));
        QCOMPARE(f.highlighted().size(), extend ? 2 : 1);
        QCOMPARE(f.groups.selectedServer()->name(), selected);
        QCOMPARE(f.storedSelection(), f.groups.selectedServer()->id());
    }

    void toolbar_data()
    {
        QTest::addColumn<bool>("subscriptions");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<QStringList>("headings");
        QTest::newRow("both") << true << true << QStringList { u"Alpha"_s, u"Beta"_s, u"My servers"_s };
        QTest::newRow("only subscriptions") << true << false << QStringList { u"Alpha"_s, u"Beta"_s };
        QTest::newRow("only manual servers") << false << true << QStringList { u"My servers"_s };
    }

    void toolbar()
    {
        QFETCH(bool, subscriptions);
        QFETCH(bool, manual);
        QFETCH(QStringList, headings);
        Fixture f(subscriptions, manual);
        QStringList shown;
        for (int row = 0; row < f.list()->model()->rowCount(); ++row)
            shown.append(f.list()->model()->index(row, 0).data().toString());
        QCOMPARE(shown, headings);
        QAbstractButton *update = f.toolbarButton(u"Update subscriptions"_s);
        QVERIFY(update);
        QCOMPARE(update->isVisible(), subscriptions);
        QCOMPARE(update->toolTip(), u"Updates all subscriptions"_s);
        QVERIFY(f.toolbarButton(u"Check status"_s)->isVisible());

        QSignalSpy adds(f.screen, &ServersScreen::addServersRequested);
        QTest::mouseClick(f.toolbarButton(u"Add server"_s), Qt::LeftButton);
        QCOMPARE(adds.count(), 1);

        // The first subscription brings the button, an unnamed one its stand-in heading.
        f.groups.addSubscription(
            std::make_shared<ServerGroup>(SubscriptionType {}, QList<ServerPtr> { server(u"X"_s) }));
        QVERIFY(update->isVisible());
        QCOMPARE(f.list()->model()->index(subscriptions ? 2 : 0, 0).data().toString(), u"Subscription"_s);
    }

    // One subscription loads, one yields no server: one alert, only the failed heading marked.
    void forcedRefreshMarksTheFailedGroup()
    {
        TestHttpServer site;
        QVERIFY(site.start());
        site.route(
            "/a", TestHttpServer::Response { 200, "ss://aes-256-gcm:pw@new.example.net:8388#New\n", {}, -1, true });
        site.route("/b", TestHttpServer::Response { 200, "no proxies here\n", {}, -1, true });
        Fixture f(true, false);
        f.groups.replaceSubscription(f.alpha->id(),
            std::make_shared<ServerGroup>(
                SubscriptionType { u"Alpha"_s, site.url(u"/a"_s).toString() }, f.alpha->servers()));
        f.groups.replaceSubscription(f.beta->id(),
            std::make_shared<ServerGroup>(
                SubscriptionType { u"Beta"_s, site.url(u"/b"_s).toString() }, f.beta->servers()));
        QSignalSpy shown(f.screen->alert(), &Alert::isShownChanged);

        QTest::mouseClick(f.toolbarButton(u"Update subscriptions"_s), Qt::LeftButton);
        QCOMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::updatingSubscription);
        QVERIFY(f.visibleTexts().contains(u"Updating subscriptions..."_s));
        QTRY_COMPARE(site.requests().size(), 2);
        site.route("/a", "ss://aes-256-gcm:pw@new.example.net:8388#New\n");
        site.route("/b", "no proxies here\n");
        site.release();
        QTRY_COMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::none);

        QCOMPARE(shown.count(), 1);
        QCOMPARE(f.screen->alert()->title(), u"Some subscriptions failed to update"_s);
        QCOMPARE(f.screen->alert()->message(), u"No servers found in the provided subscription URL"_s);
        QCOMPARE(f.shownServers(), (QStringList { u"New"_s, u"Lima"_s }));
        QCOMPARE(redPixels(f.list(), f.list()->model()->index(0, 0)), 0);
        QVERIFY(redPixels(f.list(), f.list()->model()->index(1, 0)) > 10);
        f.screen->alert()->close();
    }

    void checkStatusOfAll()
    {
        Fixture f;
        f.probe.hold = true;
        QTest::mouseClick(f.toolbarButton(u"Check status"_s), Qt::LeftButton);
        QTRY_COMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::checkingStatus);
        QVERIFY(f.visibleTexts().contains(u"Checking status..."_s));
        QCOMPARE(f.probe.checked, (QStringList { u"Fra"_s, u"Ams"_s, u"Tokyo"_s, u"Lima"_s, u"Home"_s }));
        f.probe.release();
        QTRY_COMPARE(f.screen->currentOperation(), ServersScreen::CurrentOperation::none);
        QVERIFY(!f.visibleTexts().contains(u"Checking status..."_s));
        for (const ServerPtr &server : f.groups.allServers())
            QCOMPARE(server->status(), OnlineStatus::online);
    }

    void filter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("headings");
        QTest::newRow("name") << u"tok"_s << QStringList { u"Tokyo"_s } << QStringList { u"Alpha"_s };
        QTest::newRow("address") << u"jp.example"_s << QStringList { u"Tokyo"_s } << QStringList { u"Alpha"_s };
        QTest::newRow("protocol") << u"VLESS"_s << QStringList { u"Ams"_s } << QStringList { u"Alpha"_s };
        QTest::newRow("several groups") << u"shadowsocks"_s << QStringList { u"Fra"_s, u"Lima"_s, u"Home"_s }
                                        << QStringList { u"Alpha"_s, u"Beta"_s, u"My servers"_s };
        QTest::newRow("nothing") << u"zzz"_s << QStringList {} << QStringList {};
    }

    // Filtering hides rows without forgetting them: clearing brings back every row and highlight.
    void filter()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, headings);
        Fixture f;
        const QStringList all = f.shownServers();
        f.click(u"Tokyo"_s);
        f.click(u"Home"_s, Qt::ControlModifier);
        QTest::keyClicks(f.screen->filterField(), text);
        QCOMPARE(f.shownServers(), shown);
        QStringList shownHeadings;
        for (int row = 0; row < f.list()->model()->rowCount(); ++row)
            shownHeadings.append(f.list()->model()->index(row, 0).data().toString());
        QCOMPARE(shownHeadings, headings);
        for (const QString &name : { u"Tokyo"_s, u"Home"_s })
            QCOMPARE(f.highlighted().contains(name), shown.contains(name));

        f.screen->filterField()->clear();
        QCOMPARE(f.shownServers(), all);
        QCOMPARE(f.highlighted(), (QStringList { u"Tokyo"_s, u"Home"_s }));
        QVERIFY(f.list()->isExpanded(f.list()->model()->index(0, 0)));
    }

    // While a text is set, renamed and added servers are looked at anew.
    void filterFollowsChanges_data()
    {
        QTest::addColumn<QString>("renamed");
        QTest::addColumn<QString>("newName");
        QTest::addColumn<QString>("added");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("rename into the filter")
            << u"Lima"_s << u"Tokyo 2"_s << QString() << QStringList { u"Tokyo"_s, u"Tokyo 2"_s };
        QTest::newRow("rename out of the filter") << u"Tokyo"_s << u"Kyoto"_s << QString() << QStringList {};
        QTest::newRow("add a match") << QString() << QString() << u"Tokyo home"_s
                                     << QStringList { u"Tokyo"_s, u"Tokyo home"_s };
    }

    void filterFollowsChanges()
    {
        QFETCH(QString, renamed);
        QFETCH(QString, newName);
        QFETCH(QString, added);
        QFETCH(QStringList, shown);
        Fixture f;
        // Turns of the event loop, in which the filter prepares what it searches.
        QTest::qWait(50);
        QTest::keyClicks(f.screen->filterField(), u"tokyo"_s);
        QCOMPARE(f.shownServers(), QStringList { u"Tokyo"_s });
        for (const ServerPtr &server : f.groups.allServers()) {
            if (server->name() == renamed)
                server->setName(newName);
        }
        if (!added.isEmpty())
            f.groups.addServer(server(added));
        QTRY_COMPARE(f.shownServers(), shown);
    }

    void details_data()
    {
        QTest::addColumn<ServerPtr>("server");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QString>("security");
        const QStringList common { u"Name:"_s, u"Protocol:"_s, u"Address:"_s, u"Port:"_s };
        QTest::newRow("shadowsocks") << server(u"Fra"_s) << common + QStringList { u"Status:"_s } << QString();
        QTest::newRow("vless, security none")
            << server(u"V"_s, vless(u"none"_s, {})) << common + QStringList { u"Status:"_s } << QString();
        QTest::newRow("vless, security empty, flow set")
            << server(u"V"_s, vless({}, u"xtls-rprx-vision"_s)) << common + QStringList { u"Flow:"_s, u"Status:"_s }
            << QString();
        QTest::newRow("vless, reality") << server(u"V"_s, vless(u"reality"_s, {}))
                                        << common + QStringList { u"Security:"_s, u"Status:"_s } << u"REALITY"_s;
    }

    void details()
    {
        QFETCH(ServerPtr, server);
        QFETCH(QStringList, labels);
        QFETCH(QString, security);
        FakeProbe probe;
        probe.answer = OnlineStatus::offline;
        ScreenStack stack;
        auto *details = new ServerDetailsScreen(server, probe);
        stack.setRoot(details);
        stack.show();
        QStringList shownLabels;
        QString shownSecurity;
        for (const auto &[label, value] : details->rows()) {
            shownLabels.append(label);
            if (label == u"Security:"_s)
                shownSecurity = value;
        }
        QCOMPARE(shownLabels, labels);
        QCOMPARE(shownSecurity, security);
        QCOMPARE(details->rows().last().second, u"Unknown"_s);

        QAbstractButton *check = nullptr;
        QAbstractButton *edit = nullptr;
        for (auto *button : stack.findChildren<QAbstractButton *>()) {
            if (button->accessibleName() == u"Check Status"_s)
                check = button;
            if (button->accessibleName() == u"Edit"_s)
                edit = button;
        }
        QTest::mouseClick(check, Qt::LeftButton);
        QTRY_COMPARE(details->rows().last().second, u"Offline"_s);
        QSignalSpy edits(details, &ServerDetailsScreen::editRequested);
        QTest::mouseClick(edit, Qt::LeftButton);
        QCOMPARE(edits.count(), 1);
        // A rename elsewhere shows at once.
        server->setName(u"Renamed"_s);
        QCOMPARE(details->rows().first().second, u"Renamed"_s);
    }
};

WRENLOW_TEST(ServersScreenTest)
#include "tst_serversscreen.moc"
