#include "../uitesting.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/forms/subscriptionviewmodel.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/common/alert.h"
#include "ui/common/screenstack.h"
#include "ui/common/sheet.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/settings/subscriptionspage.h"
#include "ui/settings/troubleshootingpage.h"

#include <QAbstractItemModelTester>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>

#include <functional>

using namespace Qt::StringLiterals;

using CatalogueChange = std::function<void(GroupCollection &)>;
Q_DECLARE_METATYPE(CatalogueChange)
Q_DECLARE_METATYPE(std::optional<QByteArray>)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

ServerGroupPtr subscription(const QString &name)
{
    return std::make_shared<ServerGroup>(
        SubscriptionType { name, u"https://provider.example/"_s + name.toLower(), false }, QList<ServerPtr> {});
}

QStringList groupNames(const QList<ServerGroupPtr> &groups)
{
    QStringList names;
    for (const ServerGroupPtr &group : groups)
        names.append(groupName(group->type()));
    return names;
}

// The page over subscriptions with these names, shown.
struct SubscriptionsFixture : TestCatalogue {
    SubscriptionLoader loader;
    std::unique_ptr<SubscriptionsSettingsPage> page;

    explicit SubscriptionsFixture(const QStringList &names = { u"Alpha"_s, u"Beta"_s, u"Gamma"_s })
    {
        for (const QString &name : names)
            groups.addSubscription(subscription(name));
        page = std::make_unique<SubscriptionsSettingsPage>(groups, loader);
        page->resize(400, 400);
        page->show();
    }

    QListView *list() const { return page->list(); }

    // What the rows say, top to bottom.
    QStringList rows() const
    {
        QStringList texts;
        for (int row = 0; row < list()->model()->rowCount(); ++row)
            texts.append(list()->model()->index(row, 0).data().toString());
        return texts;
    }

    // Ctrl-clicks each row, as a person picks several.
    void select(const QList<int> &rows) const
    {
        for (int row : rows) {
            const QPoint at = list()->visualRect(list()->model()->index(row, 0)).center();
            QTest::mouseClick(list()->viewport(), Qt::LeftButton, Qt::ControlModifier, at);
        }
    }

    QStringList selectedRows() const
    {
        QStringList texts;
        for (const QModelIndex &index : list()->selectionModel()->selectedRows())
            texts.append(index.data().toString());
        return texts;
    }

    QStringList stored() { return groupNames(GroupCollection::load(store)->subscriptions()); }
    bool enabled(const QString &button) const { return shown(page.get(), button)->isEnabled(); }
};

// The page over the fake tunnel layer, its tunnel loaded in `status` and not yet shown.
struct TroubleshootingFixture {
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    FakeTunnelConnection &connection;
    std::unique_ptr<TroubleshootingPage> page;

    explicit TroubleshootingFixture(VPNStatus status)
        : connection(loadSavedTunnel(platform, vpn, status))
        , page(std::make_unique<TroubleshootingPage>(vpn))
    {
        settle();
        page->resize(400, 300);
    }

    // Requests the page left waiting end unanswered, so no task outlives the test.
    ~TroubleshootingFixture()
    {
        for (qsizetype i = 0; i < connection.messages.size(); ++i) {
            if (connection.messages[i].handler)
                connection.answer(i, std::nullopt);
        }
        settle();
    }

    // The memory line as a person sees it; empty while hidden.
    QString memoryLine() const
    {
        const auto *line = shown<QLabel>(page.get(), u"Memory allocated"_s);
        return line ? line->text() : QString();
    }

    qsizetype memoryRequests() const
    {
        qsizetype count = 0;
        for (const auto &message : connection.messages)
            count += std::holds_alternative<TunnelRequests::GetMemoryUsed>(decodeTunnelRequest(message.bytes));
        return count;
    }

    bool enabled(const QString &button) const { return shown(page.get(), button)->isEnabled(); }

    void answerLast(std::optional<QByteArray> response)
    {
        connection.answer(connection.messages.size() - 1, std::move(response));
    }
};

} // namespace

class SettingsPagesTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // Remove needs a selection; Edit exactly one row.
    void buttonsFollowSelection_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<bool>("removeEnabled");
        QTest::addColumn<bool>("editEnabled");
        QTest::newRow("none") << QList<int> {} << false << false;
        QTest::newRow("one") << QList<int> { 1 } << true << true;
        QTest::newRow("two") << QList<int> { 0, 2 } << true << false;
    }

    void buttonsFollowSelection()
    {
        QFETCH(QList<int>, rows);
        QFETCH(bool, removeEnabled);
        QFETCH(bool, editEnabled);
        SubscriptionsFixture f;
        f.select(rows);
        QCOMPARE(f.enabled(u"Remove"_s), removeEnabled);
        QCOMPARE(f.enabled(u"Edit"_s), editEnabled);
        QVERIFY(f.enabled(u"Add"_s));
    }

    // The rows follow changes made elsewhere, a name left empty shows as "Unnamed", and the rows the
    // person selected stay selected.
    void rowsFollowTheCatalogue_data()
    {
        QTest::addColumn<CatalogueChange>("change");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("added unnamed") << CatalogueChange([](GroupCollection &g) {
            g.addSubscription(subscription({}));
        }) << QStringList { u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Unnamed"_s };
        QTest::newRow("removed") << CatalogueChange([](GroupCollection &g) {
            g.removeSubscriptions({ g.subscriptions().at(0)->id(), g.subscriptions().at(2)->id() });
        }) << QStringList { u"Beta"_s };
        QTest::newRow("renamed") << CatalogueChange([](GroupCollection &g) {
            const QUuid id = g.subscriptions().at(1)->id();
            g.replaceSubscription(id,
                std::make_shared<ServerGroup>(id, SubscriptionType { u"Bravo"_s, u"https://b.example"_s, false },
                    QList<ServerPtr> {}, QDateTime()));
        }) << QStringList { u"Alpha"_s, u"Bravo"_s, u"Gamma"_s };
        QTest::newRow("name emptied") << CatalogueChange([](GroupCollection &g) {
            const QUuid id = g.subscriptions().at(1)->id();
            g.replaceSubscription(id,
                std::make_shared<ServerGroup>(id, SubscriptionType { QString(), u"https://b.example"_s, false },
                    QList<ServerPtr> {}, QDateTime()));
        }) << QStringList { u"Alpha"_s, u"Unnamed"_s, u"Gamma"_s };
        QTest::newRow("reordered") << CatalogueChange([](GroupCollection &g) { g.moveSubscription(1, 0); })
                                   << QStringList { u"Beta"_s, u"Alpha"_s, u"Gamma"_s };
    }

    void rowsFollowTheCatalogue()
    {
        QFETCH(CatalogueChange, change);
        QFETCH(QStringList, rows);
        SubscriptionsFixture f;
        QAbstractItemModelTester tester(f.list()->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        f.select({ 1 });
        const QString selected = f.rows().at(1);
        change(f.groups);
        QCOMPARE(f.rows(), rows);
        if (rows.contains(selected))
            QCOMPARE(f.selectedRows(), QStringList { selected });
        QCOMPARE(f.enabled(u"Remove"_s), !f.selectedRows().isEmpty());
    }

    // A catalogue read in the background arrives whole; the rows show it.
    void rowsFollowABackgroundLoad()
    {
        SubscriptionsFixture stored({ u"Alpha"_s, QString() });
        GroupCollection fresh(stored.store);
        SubscriptionLoader loader;
        SubscriptionsSettingsPage page(fresh, loader);
        QCOMPARE(page.list()->model()->rowCount(), 0);
        bool loaded = false;
        fresh.loadInBackground([&] { loaded = true; });
        QTRY_VERIFY(loaded);
        QCOMPARE(page.list()->model()->index(1, 0).data().toString(), u"Unnamed"_s);
        QCOMPARE(page.list()->model()->rowCount(), 2);
    }

    // Remove takes the selected groups out at once, with no question, and the catalogue is stored.
    void removeTakesTheSelection()
    {
        SubscriptionsFixture f({ u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Delta"_s });
        f.select({ 0, 2 });
        click(f.page.get(), u"Remove"_s);
        QCOMPARE(f.rows(), (QStringList { u"Beta"_s, u"Delta"_s }));
        QCOMPARE(groupNames(f.groups.subscriptions()), (QStringList { u"Beta"_s, u"Delta"_s }));
        QCOMPARE(f.stored(), (QStringList { u"Beta"_s, u"Delta"_s }));
        QVERIFY(!f.page->findChild<QMessageBox *>());
        QVERIFY(!f.enabled(u"Remove"_s));
        QVERIFY(!f.enabled(u"Edit"_s));
    }

    // A row dropped elsewhere in the list (the view moves it through the model) reorders the
    // catalogue and stores the new order at once; the moved row stays selected.
    void dropStoresTheNewOrder_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("dropBefore");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("first to the end") << 0 << 3 << QStringList { u"Beta"_s, u"Gamma"_s, u"Alpha"_s };
        QTest::newRow("last to the top") << 2 << 0 << QStringList { u"Gamma"_s, u"Alpha"_s, u"Beta"_s };
        QTest::newRow("one down") << 0 << 2 << QStringList { u"Beta"_s, u"Alpha"_s, u"Gamma"_s };
        QTest::newRow("one up") << 2 << 1 << QStringList { u"Alpha"_s, u"Gamma"_s, u"Beta"_s };
        QTest::newRow("onto itself") << 1 << 1 << QStringList { u"Alpha"_s, u"Beta"_s, u"Gamma"_s };
    }

    void dropStoresTheNewOrder()
    {
        QFETCH(int, from);
        QFETCH(int, dropBefore);
        QFETCH(QStringList, order);
        SubscriptionsFixture f;
        QAbstractItemModelTester tester(f.list()->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        f.select({ from });
        const QString moved = f.rows().at(from);
        f.list()->model()->moveRow({}, from, {}, dropBefore);
        QCOMPARE(f.rows(), order);
        QCOMPARE(groupNames(f.groups.subscriptions()), order);
        QCOMPARE(f.stored(), order);
        QCOMPARE(f.selectedRows(), QStringList { moved });
    }

    // Add opens an empty form in a sheet, Edit the selected group's; Close closes it unchanged.
    void formsOpenInASheet_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("url");
        QTest::newRow("add") << u"Add"_s << QString() << QString();
        QTest::newRow("edit") << u"Edit"_s << u"Beta"_s << u"https://provider.example/beta"_s;
    }

    void formsOpenInASheet()
    {
        QFETCH(QString, button);
        QFETCH(QString, name);
        QFETCH(QString, url);
        SubscriptionsFixture f;
        f.select({ 1 });
        click(f.page.get(), button);
        QPointer<Sheet> sheet = f.page->findChild<Sheet *>();
        QVERIFY(sheet);
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        auto *form = qobject_cast<SubscriptionScreen *>(sheet->stack()->top());
        QVERIFY(form);
        QCOMPARE(form->form().name(), name);
        QCOMPARE(form->form().url(), url);
        QCOMPARE(form->form().type(),
            url.isEmpty() ? SubscriptionViewModel::Type::newSubscription : SubscriptionViewModel::Type::edit);

        click(sheet, u"Close"_s);
        QTRY_VERIFY(!sheet);
        QCOMPARE(f.stored(), (QStringList { u"Alpha"_s, u"Beta"_s, u"Gamma"_s }));
    }

    // Shown while connected, the page asks the tunnel for its memory once and shows the answer; any
    // answer but an amount counts as none. Disconnected, there is no line and no question.
    void memoryLine_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<std::optional<QByteArray>>("answer");
        QTest::addColumn<QString>("line");
        const QString tail = u" memory allocated in network extension"_s;
        QTest::newRow("disconnected") << VPNStatus::disconnected << std::optional<QByteArray>() << QString();
        QTest::newRow("connecting") << VPNStatus::connecting << std::optional<QByteArray>() << QString();
        QTest::newRow("1536 bytes") << VPNStatus::connected
                                    << std::optional(encodeTunnelRequestResult(TunnelResults::MemoryUsed { 1536 }))
                                    << u"1 KB"_s + tail;
        QTest::newRow("failure") << VPNStatus::connected
                                 << std::optional(
                                        encodeTunnelRequestResult(TunnelResults::Failure { u"out of luck"_s }))
                                 << u"0 B"_s + tail;
        QTest::newRow("no data") << VPNStatus::connected << std::optional<QByteArray>() << u"0 B"_s + tail;
    }

    void memoryLine()
    {
        QFETCH(VPNStatus, status);
        QFETCH(std::optional<QByteArray>, answer);
        QFETCH(QString, line);
        TroubleshootingFixture f(status);
        f.page->show();
        const bool connected = status == VPNStatus::connected;
        QCOMPARE(f.memoryRequests(), connected ? 1 : 0);
        QCOMPARE(f.memoryLine(), QString());
        if (connected)
            f.answerLast(answer);
        QTRY_COMPARE(f.memoryLine(), line);
    }

    // Each appearance asks once; a page closed before the answer takes no harm from it.
    void memoryAskedOncePerAppearance()
    {
        TroubleshootingFixture f(VPNStatus::connected);
        f.page->show();
        f.answerLast(encodeTunnelRequestResult(TunnelResults::MemoryUsed { 2048 }));
        QTRY_VERIFY(f.memoryLine().startsWith(u"2 KB"_s));
        f.page->hide();
        f.page->show();
        QCOMPARE(f.memoryRequests(), 2);
        f.answerLast(encodeTunnelRequestResult(TunnelResults::MemoryUsed { 10 }));
        QTRY_VERIFY(f.memoryLine().startsWith(u"10 B"_s));

        f.page->hide();
        f.connection.setStatus(VPNStatus::disconnected);
        settle();
        f.page->show();
        QCOMPARE(f.memoryRequests(), 2);
        QCOMPARE(f.memoryLine(), QString());

        f.connection.setStatus(VPNStatus::connected);
        settle();
        f.page->hide();
        f.page->show();
        QCOMPARE(f.memoryRequests(), 3);
        f.page.reset();
        f.answerLast(encodeTunnelRequestResult(TunnelResults::MemoryUsed { 10 }));
        settle();
    }

    // Reset needs no confirmation; its outcome is told in an alert with one "Close".
    void resetTellsTheOutcome_data()
    {
        QTest::addColumn<std::optional<QString>>("failure");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::newRow("success") << std::optional<QString>() << QString()
                                 << u"VPN configuration was successfully reset"_s;
        QTest::newRow("failure") << std::optional(u"permission denied"_s) << u"Error resetting configuration"_s
                                 << u"permission denied"_s;
    }

    void resetTellsTheOutcome()
    {
        QFETCH(std::optional<QString>, failure);
        QFETCH(QString, title);
        QFETCH(QString, message);
        TroubleshootingFixture f(VPNStatus::disconnected);
        f.platform.removeScript.failure = failure;
        if (failure)
            expectLog(QtCriticalMsg, u"Cannot remove from preferences: "_s + *failure);
        f.page->show();
        click(f.page.get(), u"Reset VPN configuration"_s);
        QTRY_VERIFY(f.page->alert().isShown());
        QCOMPARE(f.platform.removes, failure ? 0 : 1);
        QCOMPARE(f.page->alert().title(), title);
        QCOMPARE(f.page->alert().message(), message);
        QMessageBox *box = f.page->alert().box();
        QVERIFY(box);
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->buttons().first()->text(), u"Close"_s);
        QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
        QTRY_VERIFY(!f.page->alert().isShown());
        QVERIFY(f.enabled(u"Reset VPN configuration"_s));
    }
};

WRENLOW_TEST(SettingsPagesTest)
#include "tst_settingspages.moc"
