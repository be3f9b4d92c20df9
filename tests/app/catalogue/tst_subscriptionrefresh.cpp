#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionrefresh.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Subscription servers: name and originalName are the text given.
ServerGroupPtr subscription(const QString &name, const QStringList &originalNames, const QString &url = {},
    QDateTime lastUpdated = QDateTime::currentDateTime().addDays(-1), bool autoUpdate = true)
{
    QList<ServerPtr> servers;
    for (const auto &originalName : originalNames)
        servers.append(std::make_shared<Server>(
            originalName, ShadowsockSettings { u"h.example"_s, 8388, ShadowsocksCipher::aes256Gcm, u"pw"_s }, true));
    return std::make_shared<ServerGroup>(
        QUuid::createUuid(), SubscriptionType { name, url, autoUpdate }, servers, std::move(lastUpdated));
}

QStringList names(const QList<ServerPtr> &servers)
{
    QStringList result;
    for (const auto &server : servers)
        result.append(server->name());
    return result;
}

QString label(const ServerGroup &group)
{
    return group.isManual() ? u"M"_s : groupName(group.type());
}

// "<group>:<originalName>" of the selection: A and B are subscriptions, M the manual group.
QString where(const GroupCollection &groups)
{
    const ServerPtr selected = groups.selectedServer();
    if (!selected)
        return {};
    for (const auto &group : groups.subscriptions() + QList<ServerGroupPtr> { groups.manualGroup() }) {
        if (group->findServer(selected->id()))
            return label(*group) + u":"_s + selected->originalName();
    }
    return u"gone:"_s + selected->originalName();
}

ServerPtr find(const GroupCollection &groups, const QString &place)
{
    for (const auto &group : groups.subscriptions() + QList<ServerGroupPtr> { groups.manualGroup() }) {
        for (const auto &server : group->servers()) {
            if (label(*group) + u":"_s + server->originalName() == place)
                return server;
        }
    }
    return {};
}

QCoro::Task<> record(
    QCoro::Task<SubscriptionUpdateResults> task, std::shared_ptr<std::optional<SubscriptionUpdateResults>> out)
{
    *out = co_await task;
}

} // namespace

class SubscriptionRefreshTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<GroupCollection> m_groups;
    std::unique_ptr<TestHttpServer> m_http;
    std::unique_ptr<FakeTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    std::unique_ptr<SubscriptionLoader> m_loader;
    std::vector<QCoro::Task<>> m_running;

    std::shared_ptr<std::optional<SubscriptionUpdateResults>> refresh(bool force)
    {
        auto out = std::make_shared<std::optional<SubscriptionUpdateResults>>();
        m_running.push_back(record(updateSubscriptions(*m_groups, force, *m_loader), out));
        return out;
    }

private Q_SLOTS:
    void init()
    {
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
        m_groups = std::make_unique<GroupCollection>(*m_store);
        m_http = std::make_unique<TestHttpServer>();
        QVERIFY(m_http->start());
        // Held until a test gives them a body.
        for (const QByteArray path : { "/a", "/b" })
            m_http->route(path, TestHttpServer::Response { 200, {}, {}, -1, true });
        m_platform = std::make_unique<FakeTunnelPlatform>();
        m_vpn = std::make_unique<VPNManager>(*m_platform, [] { return AppSettings {}; });
        m_loader = std::make_unique<SubscriptionLoader>(
            [vpn = m_vpn.get()](QUrl url) { return vpn->fetchThroughActiveTunnel(std::move(url)); });
    }

    void cleanup()
    {
        m_http->release();
        QTRY_VERIFY(std::all_of(m_running.begin(), m_running.end(), [](auto &task) { return task.isReady(); }));
        m_running.clear();
        m_loader.reset();
        m_vpn.reset();
        m_platform.reset();
        m_http.reset();
        m_groups.reset();
        m_store->remove(u"groups"_s);
    }

    void replace_data()
    {
        QTest::addColumn<QStringList>("manual");
        QTest::addColumn<QStringList>("old"); // originalNames of subscription A
        QTest::addColumn<QStringList>("renamed"); // the user's names for them, empty: not renamed
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("fresh"); // originalNames of A's new copy
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("selectedAfter");

        const QStringList xy { u"x"_s, u"y"_s };
        QTest::newRow("user names kept, new servers named by provider")
            << QStringList() << xy << QStringList { u"Home"_s, QString() } << u"B:b1"_s
            << QStringList { u"z"_s, u"y"_s, u"x"_s } << QStringList { u"z"_s, u"y"_s, u"Home"_s } << u"B:b1"_s;
        QTest::newRow("same originalName takes the first old name")
            << QStringList() << QStringList { u"x"_s, u"x"_s } << QStringList { u"One"_s, u"Two"_s } << u"B:b2"_s
            << QStringList { u"x"_s, u"x"_s } << QStringList { u"One"_s, u"One"_s } << u"B:b2"_s;
        QTest::newRow("selection follows originalName")
            << QStringList() << xy << QStringList { QString(), QString() } << u"A:y"_s << QStringList { u"z"_s, u"y"_s }
            << QStringList { u"z"_s, u"y"_s } << u"A:y"_s;
        QTest::newRow("selection dropped by provider: first server")
            << QStringList() << xy << QStringList { QString(), QString() } << u"A:y"_s << QStringList { u"z"_s, u"w"_s }
            << QStringList { u"z"_s, u"w"_s } << u"A:z"_s;
        QTest::newRow("manual selection stays")
            << QStringList { u"m"_s } << xy << QStringList { QString(), QString() } << u"M:m"_s
            << QStringList { u"y"_s } << QStringList { u"y"_s } << u"M:m"_s;
        QTest::newRow("empty copy: manual server")
            << QStringList { u"m"_s } << xy << QStringList { QString(), QString() } << u"A:x"_s << QStringList()
            << QStringList() << u"M:m"_s;
        QTest::newRow("empty copy: first other subscription")
            << QStringList() << xy << QStringList { QString(), QString() } << u"A:x"_s << QStringList() << QStringList()
            << u"B:b1"_s;
    }

    void replace()
    {
        QFETCH(QStringList, manual);
        QFETCH(QStringList, old);
        QFETCH(QStringList, renamed);
        QFETCH(QString, selected);
        QFETCH(QStringList, fresh);
        QFETCH(QStringList, names);
        QFETCH(QString, selectedAfter);

        // B first, so a default choice among subscriptions does not land on the group being replaced.
        const auto other = subscription(u"B"_s, { u"b1"_s, u"b2"_s });
        const auto target = subscription(u"A"_s, old);
        for (int i = 0; i < renamed.size(); ++i) {
            if (!renamed[i].isEmpty())
                target->servers()[i]->setName(renamed[i]);
        }
        m_groups->addSubscription(other);
        m_groups->addSubscription(target);
        for (const auto &name : manual)
            m_groups->manualGroup()->appendServer(std::make_shared<Server>(name, ServerSettings {}, false));
        m_groups->setSelectedServer(find(*m_groups, selected));
        QCOMPARE(where(*m_groups), selected);
        m_store->remove(u"groups"_s);

        const auto copy = subscription(u"A"_s, fresh);
        m_groups->replaceSubscription(target->id(), copy);

        QCOMPARE(m_groups->subscriptions(), (QList<ServerGroupPtr> { other, copy }));
        QCOMPARE(::names(copy->servers()), names);
        QCOMPARE(::names(other->servers()), (QStringList { u"b1"_s, u"b2"_s }));
        QCOMPARE(where(*m_groups), selectedAfter);
        const auto stored = GroupCollection::load(*m_store);
        QCOMPARE(stored->subscriptions().size(), 2);
        QCOMPARE(stored->subscriptions().last()->id(), copy->id());
        QCOMPARE(where(*stored), selectedAfter);
    }

    // The default choice is made among what remains, never among the servers just dropped.
    void emptiedOnlySubscriptionClearsSelection()
    {
        const auto target = subscription(u"A"_s, { u"x"_s });
        m_groups->addSubscription(target);
        QCOMPARE(where(*m_groups), u"A:x"_s);
        m_groups->replaceSubscription(target->id(), subscription(u"A"_s, {}));
        QVERIFY(!m_groups->selectedServer());
        QVERIFY(!m_store->data(u"groups"_s).value_or(QByteArray()).contains("selectedServerId"));
    }

    void replaceUnknownIdDoesNothing()
    {
        const auto group = subscription(u"A"_s, { u"x"_s });
        m_groups->addSubscription(group);
        m_store->remove(u"groups"_s);
        QSignalSpy changed(m_groups.get(), &GroupCollection::changed);
        m_groups->replaceSubscription(QUuid::createUuid(), subscription(u"A"_s, { u"y"_s }));
        QCOMPARE(m_groups->subscriptions(), QList<ServerGroupPtr> { group });
        QCOMPARE(changed.count(), 0);
        QVERIFY(!m_store->data(u"groups"_s));
    }

    void due_data()
    {
        QTest::addColumn<bool>("manual");
        QTest::addColumn<bool>("autoUpdate");
        QTest::addColumn<qint64>("ageSeconds");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("due");
        QTest::newRow("manual group, forced") << true << false << 86400LL << true << false;
        QTest::newRow("no auto update") << false << false << 86400LL << false << false;
        QTest::newRow("no auto update, forced") << false << false << 0LL << true << true;
        QTest::newRow("exactly two hours") << false << true << 7200LL << false << false;
        QTest::newRow("two hours and a second") << false << true << 7201LL << false << true;
        QTest::newRow("one hour") << false << true << 3600LL << false << false;
    }

    void due()
    {
        QFETCH(bool, manual);
        QFETCH(bool, autoUpdate);
        QFETCH(qint64, ageSeconds);
        QFETCH(bool, force);
        QFETCH(bool, due);
        const QDateTime now = QDateTime::currentDateTime();
        const GroupType type
            = manual ? GroupType(ManualType {}) : GroupType(SubscriptionType { u"s"_s, u"u"_s, autoUpdate });
        const ServerGroup group(QUuid::createUuid(), type, {}, now.addSecs(-ageSeconds));
        QCOMPARE(isSubscriptionDue(group, force, now), due);
    }

    void refreshMergesDueAndReportsFailures()
    {
        m_http->route("/good", "vless://u@h:1#x\nvless://u@h:2#y\n");
        m_http->route("/empty", "not a server\n");
        const auto good = subscription(u"A"_s, { u"x"_s }, m_http->url(u"/good"_s).toString());
        good->servers().first()->setName(u"Mine"_s);
        const auto bad = subscription(u"B"_s, { u"b"_s }, m_http->url(u"/empty"_s).toString());
        const auto recent
            = subscription(u"C"_s, { u"c"_s }, m_http->url(u"/good"_s).toString(), QDateTime::currentDateTime());
        const auto manualOff = subscription(u"D"_s, { u"d"_s }, m_http->url(u"/good"_s).toString(), {}, false);
        for (const auto &group : { good, bad, recent, manualOff })
            m_groups->addSubscription(group);

        const auto out = refresh(false);
        QTRY_VERIFY(out->has_value());
        QCOMPARE((*out)->errors.keys(), QList<QUuid> { bad->id() });
        QCOMPARE(
            (*out)->errors.value(bad->id())->description(), u"No servers found in the provided subscription URL"_s);
        const auto after = m_groups->subscriptions();
        QCOMPARE(after.size(), 4);
        QVERIFY(after[0]->id() != good->id());
        QCOMPARE(std::get<SubscriptionType>(after[0]->type()), std::get<SubscriptionType>(good->type()));
        QCOMPARE(::names(after[0]->servers()), (QStringList { u"Mine"_s, u"y"_s }));
        QCOMPARE((QList<ServerGroupPtr> { after[1], after[2], after[3] }),
            (QList<ServerGroupPtr> { bad, recent, manualOff }));
        QCOMPARE(m_http->hits("/good"), 1);
    }

    void overlappingRefreshesReplaceEachGroupOnce()
    {
        const auto a = subscription(u"A"_s, { u"old"_s }, m_http->url(u"/a"_s).toString());
        const auto b = subscription(u"B"_s, { u"old"_s }, m_http->url(u"/b"_s).toString());
        m_groups->addSubscription(a);
        m_groups->addSubscription(b);
        m_groups->setSelectedServer(b->servers().first());
        const auto first = refresh(true);
        const auto second = refresh(true);
        QTRY_COMPARE(m_http->hits("/a") + m_http->hits("/b"), 4);
        m_http->route("/a", "vless://u@h:1#a1\n");
        m_http->route("/b", "vless://u@h:1#b1\nvless://u@h:1#old\n");
        m_http->release();
        QTRY_VERIFY(first->has_value() && second->has_value());
        QVERIFY((*first)->errors.isEmpty() && (*second)->errors.isEmpty());
        const auto after = m_groups->subscriptions();
        QCOMPARE(after.size(), 2);
        QCOMPARE(::names(after[0]->servers()), QStringList { u"a1"_s });
        QCOMPARE(::names(after[1]->servers()), (QStringList { u"b1"_s, u"old"_s }));
        QCOMPARE(where(*m_groups), u"B:old"_s);
        QCOMPARE(m_groups->selectedServer(), after[1]->servers()[1]);
    }

    void subscriptionRemovedWhileLoadingIsDropped()
    {
        const auto gone = subscription(u"A"_s, { u"x"_s }, m_http->url(u"/a"_s).toString());
        const auto kept = subscription(u"B"_s, { u"y"_s }, m_http->url(u"/b"_s).toString());
        m_groups->addSubscription(gone);
        m_groups->addSubscription(kept);
        const auto out = refresh(true);
        QTRY_COMPARE(m_http->hits("/a") + m_http->hits("/b"), 2);
        m_groups->removeSubscriptions({ gone->id() });
        m_http->route("/a", "vless://u@h:1#a1\n");
        m_http->route("/b", "vless://u@h:1#b1\n");
        m_http->release();
        QTRY_VERIFY(out->has_value());
        QVERIFY((*out)->errors.isEmpty());
        QCOMPARE(m_groups->subscriptions().size(), 1);
        QCOMPARE(::names(m_groups->subscriptions().first()->servers()), QStringList { u"b1"_s });
    }
};

WRENLOW_TEST(SubscriptionRefreshTest)
#include "tst_subscriptionrefresh.moc"
