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

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(OnlineStatus)

// A subscription replaced by a fresh copy: old servers are "originalName" or "originalName=user's
// name", places "<group>:<originalName>" with M the manual group.
struct Replacement {
    QStringList manual, old;
    QString selected;
    QStringList fresh, names;
    QString selectedAfter;
};

Q_DECLARE_METATYPE(Replacement)

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

// The place of the selection; a selected server in no group has none.
QString where(const GroupCollection &groups)
{
    for (const auto &[place, server] : places(groups)) {
        if (server == groups.selectedServer())
            return place;
    }
    return groups.selectedServer() ? u"gone"_s : QString();
}

ServerPtr find(const GroupCollection &groups, const QString &place)
{
    for (const auto &[at, server] : places(groups)) {
        if (at == place)
            return server;
    }
    return {};
}

const QByteArray twoServers = "vless://u@h:1#a\nss://aes-128-gcm:pw@example.com:8388#b\n";

// What a subscription load ended with; shared so the task may outlive a failed test.
struct LoadOutcome {
    bool done = false;
    QStringList names;
    QString error;
    // Servers are QObjects that the catalogue uses on the thread that asked for them.
    bool onCallerThread = true;
};

QCoro::Task<> recordLoad(QCoro::Task<QList<ServerPtr>> task, std::shared_ptr<LoadOutcome> outcome)
{
    try {
        const QList<ServerPtr> servers = co_await task;
        for (const auto &server : servers) {
            outcome->names.append(server->name());
            outcome->onCallerThread = outcome->onCallerThread && server->thread() == QThread::currentThread();
        }
    } catch (const Error &error) {
        outcome->error = error.description();
    }
    outcome->done = true;
}

QCoro::Task<> record(
    QCoro::Task<SubscriptionUpdateResults> task, std::shared_ptr<std::optional<SubscriptionUpdateResults>> out)
{
    *out = co_await task;
}

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

    std::shared_ptr<LoadOutcome> start(const QString &url)
    {
        auto outcome = std::make_shared<LoadOutcome>();
        m_running.push_back(recordLoad(m_loader->load(url), outcome));
        return outcome;
    }

    std::shared_ptr<std::optional<SubscriptionUpdateResults>> refresh(bool force)
    {
        auto out = std::make_shared<std::optional<SubscriptionUpdateResults>>();
        m_running.push_back(record(updateSubscriptions(*m_groups, force, *m_loader), out));
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
        const auto outcome = start(url);
        if (!answer.isEmpty()) {
            QTRY_COMPARE(connection.messages.size(), 1);
            QVERIFY(connection.messages.first().bytes.contains(url.toUtf8()));
            connection.answer(0, answer);
        }
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, error);
        QCOMPARE(outcome->names, names);
        QVERIFY(outcome->onCallerThread);
    }

    void replace_data()
    {
        QTest::addColumn<Replacement>("row");
        const QStringList xy { u"x"_s, u"y"_s };
        const auto add = [](const char *tag, const Replacement &row) { QTest::newRow(tag) << row; };
        add("user names kept, new servers named by provider",
            { {}, { u"x=Home"_s, u"y"_s }, u"B:b1"_s, { u"z"_s, u"y"_s, u"x"_s }, { u"z"_s, u"y"_s, u"Home"_s },
                u"B:b1"_s });
        add("same originalName takes the first old name",
            { {}, { u"x=One"_s, u"x=Two"_s }, u"B:b2"_s, { u"x"_s, u"x"_s }, { u"One"_s, u"One"_s }, u"B:b2"_s });
        add("selection follows originalName", { {}, xy, u"A:y"_s, { u"z"_s, u"y"_s }, { u"z"_s, u"y"_s }, u"A:y"_s });
        add("selection dropped by provider: first server",
            { {}, xy, u"A:y"_s, { u"z"_s, u"w"_s }, { u"z"_s, u"w"_s }, u"A:z"_s });
        add("empty copy: manual server", { { u"m"_s }, xy, u"A:x"_s, {}, {}, u"M:m"_s });
        add("empty copy: first other subscription", { {}, xy, u"A:x"_s, {}, {}, u"B:b1"_s });
    }

    void replace()
    {
        QFETCH(Replacement, row);
        const auto &[manual, old, selected, fresh, names, selectedAfter] = row;
        // B first, so a default choice among subscriptions does not land on the group being replaced.
        const auto other = subscription(u"B"_s, { u"b1"_s, u"b2"_s });
        const auto target = subscription(u"A"_s, QStringList(old).replaceInStrings(QRegularExpression(u"=.*"_s), {}));
        for (int i = 0; i < old.size(); ++i) {
            if (old[i].contains(u'='))
                target->servers()[i]->setName(old[i].section(u'=', 1));
        }
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
        // The message shown is checked on the servers screen.
        QCOMPARE((*out)->errors.keys(), QList<QUuid> { bad->id() });
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
        const auto first = refresh(true);
        const auto second = removeA ? first : refresh(true);
        QTRY_COMPARE(m_http->hits("/a") + m_http->hits("/b"), removeA ? 2 : 4);
        if (removeA)
            m_groups->removeSubscriptions({ a->id() });
        m_http->route("/a", "vless://u@h:1#a1\n");
        m_http->route("/b", "vless://u@h:1#b1\nvless://u@h:1#old\n");
        m_http->release();
        QTRY_VERIFY(first->has_value() && second->has_value());
        QVERIFY((*first)->errors.isEmpty() && (*second)->errors.isEmpty());
        const auto after = m_groups->subscriptions();
        QCOMPARE(after.size(), removeA ? 1 : 2);
        if (!removeA)
            QCOMPARE(::names(after[0]->servers()), QStringList { u"a1"_s });
        QCOMPARE(::names(after.last()->servers()), (QStringList { u"b1"_s, u"old"_s }));
        QCOMPARE(where(*m_groups), u"B:old"_s);
        QCOMPARE(m_groups->selectedServer(), after.last()->servers()[1]);
    }

    // A server is busy while the tunnel checks it, then shows the answer; what the tunnel makes of
    // failures is the VPN manager's, tested with it.
    void one_data()
    {
        QTest::addColumn<bool>("current");
        QTest::addColumn<OnlineStatus>("status");
        QTest::newRow("any server") << false << OnlineStatus::online;
        QTest::newRow("current server") << true << OnlineStatus::offline;
    }

    void one()
    {
        QFETCH(bool, current);
        QFETCH(OnlineStatus, status);
        auto &connection = tunnel(VPNStatus::connected);
        const ServerPtr server = makeTestServer(u"One"_s);
        server->setStatus(OnlineStatus::online == status ? OnlineStatus::offline : OnlineStatus::online);
        QSignalSpy busy(server.get(), &Server::inProgressChanged);
        m_running.push_back(current ? checkCurrentStatus(server, *m_vpn) : checkStatus(server, *m_vpn));
        QTRY_COMPARE(connection.messages.size(), 1);
        QVERIFY(server->inProgress());
        connection.answer(0, statusAnswer(status));
        QTRY_COMPARE(busy.count(), 2);
        QCOMPARE(server->status(), status);
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
        const ServerGroupPtr old = subscription(u"Old"_s, { u"a"_s, u"gone"_s }, url);
        m_groups->addSubscription(old);
        old->servers().first()->setName(u"Mine"_s);
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
