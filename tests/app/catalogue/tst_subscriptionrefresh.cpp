#include "app/catalogue/groupcollection.h"
#include "app/catalogue/statuschecks.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionrefresh.h"
#include "app/forms/subscriptionviewmodel.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "testregistry.h"
#include "testsettings.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// How a task ended; shared so the task may outlive a failed test.
template <typename T> struct Outcome {
    bool done = false;
    T value {};
    QString error;
};

template <typename T> QCoro::Task<> keep(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> out)
{
    try {
        out->value = co_await task;
    } catch (const Error &error) {
        out->error = error.description();
    }
    out->done = true;
}

namespace {

// Subscription servers: "originalName" or "originalName=user's name".
ServerGroupPtr subscription(const QString &name, const QStringList &texts, const QString &url = {},
    QDateTime lastUpdated = QDateTime::currentDateTime().addDays(-1), bool autoUpdate = true)
{
    QList<ServerPtr> servers;
    for (const auto &text : texts) {
        servers.append(std::make_shared<Server>(text.section(u'=', 0, 0),
            ShadowsockSettings { u"h.example"_s, 8388, ShadowsocksCipher::aes256Gcm, u"pw"_s }, true));
        if (text.contains(u'='))
            servers.last()->setName(text.section(u'=', 1));
    }
    return std::make_shared<ServerGroup>(
        QUuid::createUuid(), SubscriptionType { name, url, autoUpdate }, servers, std::move(lastUpdated));
}

// Every server by its place, "<group>:<originalName>": A and B are subscriptions, M the manual group.
QList<std::pair<QString, ServerPtr>> places(const GroupCollection &groups)
{
    QList<std::pair<QString, ServerPtr>> result;
    for (const auto &group : groups.subscriptions() + QList<ServerGroupPtr> { groups.manualGroup() }) {
        for (const auto &server : group->servers())
            result.append(
                { (group->isManual() ? u"M"_s : groupName(group->type())) + u':' + server->originalName(), server });
    }
    return result;
}

// The place of the selection ("gone": a selected server in no group), or the server at a place.
QString where(const GroupCollection &groups)
{
    const auto all = places(groups);
    const auto it = std::find_if(all.begin(), all.end(), [&](auto &p) { return p.second == groups.selectedServer(); });
    return it != all.end() ? it->first : groups.selectedServer() ? u"gone"_s : QString();
}

ServerPtr find(const GroupCollection &groups, const QString &place)
{
    const auto all = places(groups);
    const auto it = std::find_if(all.begin(), all.end(), [&](auto &p) { return p.first == place; });
    return it != all.end() ? it->second : nullptr;
}

const QByteArray twoServers = "vless://u@h:1#a\nss://aes-128-gcm:pw@example.com:8388#b\n";

QByteArray statusAnswer(OnlineStatus status)
{
    return encodeTunnelRequestResult(TunnelResults::OnlineStatusResult { status });
}

} // namespace

// The catalogue's work that reaches out: subscription loads and refreshes, status checks, and the
// forms that save what they load, over a local HTTP server and the fake tunnel layer.
class CatalogueFetchTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<GroupCollection> m_groups;
    std::unique_ptr<TestHttpServer> m_http;
    std::unique_ptr<FakeTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    std::unique_ptr<SubscriptionLoader> m_loader;
    std::vector<QCoro::Task<>> m_running;

    template <typename T> std::shared_ptr<Outcome<T>> start(QCoro::Task<T> task)
    {
        auto out = std::make_shared<Outcome<T>>();
        m_running.push_back(keep(std::move(task), out));
        return out;
    }

    // The tunnel as the platform reports it when the program starts.
    FakeTunnelConnection &tunnel(VPNStatus status) { return loadSavedTunnel(*m_platform, *m_vpn, status); }

private Q_SLOTS:
    void init()
    {
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
        m_groups = std::make_unique<GroupCollection>(*m_store);
        m_http = std::make_unique<TestHttpServer>();
        QVERIFY(m_http->start());
        // Held until a test gives them a body.
        for (const QByteArray path : { "/a", "/b", "/silent" })
            m_http->route(path, TestHttpServer::Response { 200, {}, {}, -1, true });
        m_platform = std::make_unique<FakeTunnelPlatform>();
        m_vpn = std::make_unique<VPNManager>(*m_platform, [] { return AppSettings {}; });
        m_loader = std::make_unique<SubscriptionLoader>(
            [vpn = m_vpn.get()](QUrl url) { return vpn->fetchThroughActiveTunnel(std::move(url)); });
    }

    void cleanup()
    {
        setSubscriptionTimeout(20s);
        // Loads still running hold the manager, so they must end before it goes.
        m_http.reset();
        QTRY_VERIFY(std::all_of(m_running.begin(), m_running.end(), [](auto &task) { return task.isReady(); }));
        m_running.clear();
        m_loader.reset();
        m_vpn.reset();
        m_platform.reset();
        m_groups.reset();
        m_store->remove(u"groups"_s);
    }

    // A load reads the body; only a running tunnel is asked for what could not be fetched directly.
    void load_data()
    {
        QTest::addColumn<QString>("path"); // "/sub" answers with the body, "/silent" never; "closed" refuses
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("answer"); // the running tunnel's; none: no tunnel runs
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("error");
        const QByteArray content = encodeTunnelRequestResult(TunnelResults::FetchSubscription { twoServers });
        const QByteArray failure = encodeTunnelRequestResult(TunnelResults::Failure { u"blocked"_s });
        const QString refused = u"The server 127.0.0.1 refused the connection"_s;
        const QStringList ab { u"a"_s, u"b"_s };
        const auto add = [](const char *tag, const QString &path, const QByteArray &body, const QStringList &names,
                             const QString &error, const QByteArray &answer = {}) {
            QTest::newRow(tag) << path << body << answer << names << error;
        };
        add("plain lines", u"/sub"_s, twoServers, ab, {});
        add("empty body", u"/sub"_s, {}, {}, u"No data received"_s);
        add("not utf-8", u"/sub"_s, "ss://\xff\xfe", {}, u"The subscription content could not be decoded."_s);
        add("stalled download", u"/silent"_s, {}, {}, u"The subscription download timed out"_s);
        add("refused, no tunnel", u"closed"_s, {}, {}, refused);
        add("refused, tunnel answers", u"closed"_s, {}, ab, {}, content);
        add("refused, tunnel fails", u"closed"_s, {}, {}, refused, failure);
    }

    void load()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, names);
        QFETCH(QString, error);
        auto &connection = tunnel(answer.isEmpty() ? VPNStatus::disconnected : VPNStatus::connected);
        if (path == u"/silent")
            setSubscriptionTimeout(300ms);
        m_http->route("/sub", body);
        const QString url
            = path == u"closed" ? u"http://127.0.0.1:%1/sub"_s.arg(freePort()) : m_http->url(path).toString();
        const auto outcome = start(m_loader->load(url));
        if (!answer.isEmpty()) {
            QTRY_COMPARE(connection.messages.size(), 1);
            QVERIFY(connection.messages.first().bytes.contains(url.toUtf8()));
            connection.answer(0, answer);
        }
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, error);
        QCOMPARE(::names(outcome->value), names);
        // Servers are QObjects that the catalogue uses on the thread that asked for them.
        for (const auto &server : outcome->value)
            QCOMPARE(server->thread(), QThread::currentThread());
    }

    // A subscription, A, replaced by a fresh copy. Rows: "manual servers | old servers | selected |
    // fresh servers | their names | selected after"; servers are "originalName" or "originalName=user's
    // name", places "<group>:<originalName>" with M the manual group.
    void replace_data()
    {
        QTest::addColumn<QString>("row");
        QTest::newRow("user names kept, new servers named by provider")
            << u" | x=Home y | B:b1 | z y x | z y Home | B:b1"_s;
        QTest::newRow("same originalName takes the first old name")
            << u" | x=One x=Two | B:b2 | x x | One One | B:b2"_s;
        QTest::newRow("selection follows originalName") << u" | x y | A:y | z y | z y | A:y"_s;
        QTest::newRow("selection dropped by provider: first server") << u" | x y | A:y | z w | z w | A:z"_s;
        QTest::newRow("empty copy: manual server") << u"m | x y | A:x | | | M:m"_s;
        QTest::newRow("empty copy: first other subscription") << u" | x y | A:x | | | B:b1"_s;
    }

    void replace()
    {
        QFETCH(QString, row);
        QList<QStringList> fields;
        for (const QString &field : row.split(u'|'))
            fields.append(field.split(u' ', Qt::SkipEmptyParts));
        const QStringList manual = fields[0], old = fields[1], fresh = fields[3], names = fields[4];
        const QString selected = fields[2].value(0), selectedAfter = fields[5].value(0);
        // B first, so a default choice among subscriptions does not land on the group being replaced.
        const auto other = subscription(u"B"_s, { u"b1"_s, u"b2"_s });
        const auto target = subscription(u"A"_s, old);
        m_groups->addSubscription(other);
        m_groups->addSubscription(target);
        for (const auto &name : manual)
            m_groups->manualGroup()->appendServer(std::make_shared<Server>(name, ServerSettings {}, false));
        m_groups->setSelectedServer(find(*m_groups, selected));
        QCOMPARE(where(*m_groups), selected);

        const auto copy = subscription(u"A"_s, fresh);
        m_groups->replaceSubscription(target->id(), copy);
        QCOMPARE(m_groups->subscriptions(), (QList<ServerGroupPtr> { other, copy }));
        QCOMPARE(::names(copy->servers()), names);
        QCOMPARE(::names(other->servers()), (QStringList { u"b1"_s, u"b2"_s }));
        QCOMPARE(where(*m_groups), selectedAfter);
        const auto stored = GroupCollection::load(*m_store);
        QCOMPARE(stored->subscriptions().last()->id(), copy->id());
        QCOMPARE(where(*stored), selectedAfter);
    }

    // Due once two hours have passed, or when forced even without auto update.
    void due()
    {
        const QDateTime now = QDateTime::currentDateTime();
        const auto due = [&](bool autoUpdate, qint64 ageSeconds, bool force) {
            const ServerGroup group(
                QUuid::createUuid(), SubscriptionType { u"s"_s, u"u"_s, autoUpdate }, {}, now.addSecs(-ageSeconds));
            return isSubscriptionDue(group, force, now);
        };
        QCOMPARE((QList<bool> { due(false, 0, true), due(true, 7200, false), due(true, 7201, false) }),
            (QList<bool> { true, false, true }));
    }

    void refreshMergesDueAndReportsFailures()
    {
        m_http->route("/good", "vless://u@h:1#x\nvless://u@h:2#y\n");
        m_http->route("/empty", "not a server\n");
        const auto good = subscription(u"A"_s, { u"x=Mine"_s }, m_http->url(u"/good"_s).toString());
        const auto bad = subscription(u"B"_s, { u"b"_s }, m_http->url(u"/empty"_s).toString());
        const auto recent
            = subscription(u"C"_s, { u"c"_s }, m_http->url(u"/good"_s).toString(), QDateTime::currentDateTime());
        const auto manualOff = subscription(u"D"_s, { u"d"_s }, m_http->url(u"/good"_s).toString(), {}, false);
        for (const auto &group : { good, bad, recent, manualOff })
            m_groups->addSubscription(group);

        const auto out = start(updateSubscriptions(*m_groups, false, *m_loader));
        QTRY_VERIFY(out->done);
        // The message shown is checked on the servers screen.
        QCOMPARE(out->value.errors.keys(), QList<QUuid> { bad->id() });
        const auto after = m_groups->subscriptions();
        QVERIFY(after[0]->id() != good->id());
        QCOMPARE(std::get<SubscriptionType>(after[0]->type()), std::get<SubscriptionType>(good->type()));
        QCOMPARE(::names(after[0]->servers()), (QStringList { u"Mine"_s, u"y"_s }));
        QCOMPARE(after.mid(1), (QList<ServerGroupPtr> { bad, recent, manualOff }));
        QCOMPARE(m_http->hits("/good"), 1);
    }

    // Two refreshes at once replace each group once, and the selection follows; a subscription
    // removed while it loads is not brought back.
    void refreshesWhileLoading_data()
    {
        QTest::addColumn<bool>("removeA");
        QTest::newRow("overlapping refreshes") << false;
        QTest::newRow("removed while loading") << true;
    }

    void refreshesWhileLoading()
    {
        QFETCH(bool, removeA);
        const auto a = subscription(u"A"_s, { u"old"_s }, m_http->url(u"/a"_s).toString());
        const auto b = subscription(u"B"_s, { u"old"_s }, m_http->url(u"/b"_s).toString());
        m_groups->addSubscription(a);
        m_groups->addSubscription(b);
        m_groups->setSelectedServer(b->servers().first());
        const auto first = start(updateSubscriptions(*m_groups, true, *m_loader));
        const auto second = removeA ? first : start(updateSubscriptions(*m_groups, true, *m_loader));
        QTRY_COMPARE(m_http->hits("/a") + m_http->hits("/b"), removeA ? 2 : 4);
        if (removeA)
            m_groups->removeSubscriptions({ a->id() });
        m_http->route("/a", "vless://u@h:1#a1\n");
        m_http->route("/b", "vless://u@h:1#b1\nvless://u@h:1#old\n");
        m_http->release();
        QTRY_VERIFY(first->done && second->done);
        QVERIFY(first->value.errors.isEmpty() && second->value.errors.isEmpty());
        const auto after = m_groups->subscriptions();
        QCOMPARE(after.size(), removeA ? 1 : 2);
        if (!removeA)
            QCOMPARE(::names(after[0]->servers()), QStringList { u"a1"_s });
        QCOMPARE(::names(after.last()->servers()), (QStringList { u"b1"_s, u"old"_s }));
        QCOMPARE(where(*m_groups), u"B:old"_s);
        QCOMPARE(m_groups->selectedServer(), after.last()->servers()[1]);
    }

    // The current server is busy while the tunnel checks it, then shows the answer (checks of other
    // servers go in batches, below); what the tunnel makes of failures is the VPN manager's.
    void currentServerCheck()
    {
        auto &connection = tunnel(VPNStatus::connected);
        const ServerPtr server = makeTestServer(u"One"_s);
        server->setStatus(OnlineStatus::online);
        QSignalSpy busy(server.get(), &Server::inProgressChanged);
        m_running.push_back(checkCurrentStatus(server, *m_vpn));
        QTRY_COMPARE(connection.messages.size(), 1);
        QVERIFY(server->inProgress());
        connection.answer(0, statusAnswer(OnlineStatus::offline));
        QTRY_COMPARE(busy.count(), 2);
        QCOMPARE(server->status(), OnlineStatus::offline);
    }

    void batchInstallsProfileFromFirstServer()
    {
        QCoro::waitFor(m_vpn->loadManager()); // nothing saved yet
        const QList<ServerPtr> servers { makeTestServer(u"First"_s), makeTestServer(u"Second"_s),
            makeTestServer(u"Third"_s) };
        auto checking = std::make_shared<QList<bool>>();
        m_running.push_back(checkStatuses(servers, *m_vpn, [checking](bool on) { checking->append(on); }));
        QTRY_COMPARE(m_platform->made.size(), 1);
        QCOMPARE(m_platform->savedDescriptions().value(0), u"First"_s);
        auto &connection = m_platform->made.first()->fakeConnection;
        QTRY_COMPARE(connection.messages.size(), 3);
        QCOMPARE(*checking, QList<bool> { true });
        for (const auto &server : servers)
            QVERIFY(server->inProgress());
        for (int i = 0; i < 3; ++i)
            connection.answer(i, statusAnswer(i == 1 ? OnlineStatus::offline : OnlineStatus::online));
        QTRY_COMPARE(*checking, (QList<bool> { true, false }));
        QCOMPARE((QList<OnlineStatus> { servers[0]->status(), servers[1]->status(), servers[2]->status() }),
            (QList<OnlineStatus> { OnlineStatus::online, OnlineStatus::offline, OnlineStatus::online }));
        QVERIFY(!servers[2]->inProgress());
    }

    // A failed edit changes nothing; a successful one replaces the group, keeping the user's names.
    void subscriptionFormReplacesTheGroup()
    {
        const QString url = m_http->url(u"/sub"_s).toString();
        const ServerGroupPtr old = subscription(u"Old"_s, { u"a=Mine"_s, u"gone"_s }, url);
        m_groups->addSubscription(old);
        m_http->route("/sub", "no servers here");
        SubscriptionViewModel form(SubscriptionOperations::Edit { old });
        form.setAutoUpdate(false);
        QCOMPARE(failureOf(form.save(*m_groups, *m_loader)), u"No servers found in the provided subscription URL"_s);
        QCOMPARE(GroupCollection::load(*m_store)->subscriptions().first()->id(), old->id());

        m_http->route("/sub", twoServers);
        QCOMPARE(failureOf(form.save(*m_groups, *m_loader)), QString());
        const auto stored = GroupCollection::load(*m_store);
        QCOMPARE(stored->subscriptions().size(), 1);
        const ServerGroupPtr group = stored->subscriptions().first();
        QVERIFY(group->id() != old->id());
        QVERIFY(group->type() == GroupType(SubscriptionType { u"Old"_s, url, false }));
        QCOMPARE(::names(group->servers()), (QStringList { u"Mine"_s, u"b"_s }));
    }

    // A form closed during the download still adds the subscription; a cancelled save adds nothing.
    void subscriptionFormGoneOrCancelled_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("form closed") << false;
        QTest::newRow("save cancelled") << true;
    }

    void subscriptionFormGoneOrCancelled()
    {
        QFETCH(bool, cancelled);
        m_http->route("/sub", twoServers);
        auto form = std::make_unique<SubscriptionViewModel>(SubscriptionOperations::New {});
        form->setUrl(m_http->url(u"/sub"_s).toString());
        QCoro::Task<> task = form->save(*m_groups, *m_loader);
        if (cancelled)
            form->cancelSave();
        else
            form.reset();
        QCOMPARE(failureOf(std::move(task)), QString());
        QCOMPARE(m_http->hits("/sub"), 1);
        QCOMPARE(m_groups->subscriptions().size(), cancelled ? 0 : 1);
    }
};

WRENLOW_TEST(CatalogueFetchTest)
#include "tst_subscriptionrefresh.moc"
