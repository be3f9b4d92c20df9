#include "app/catalogue/groupcollection.h"
#include "app/catalogue/statuschecks.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionrefresh.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "testregistry.h"
#include "testsettings.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(OnlineStatus)

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

QList<ServerGroupPtr> allGroups(const GroupCollection &groups)
{
    return groups.subscriptions() + QList<ServerGroupPtr> { groups.manualGroup() };
}

// "<group>:<originalName>" of the selection: A and B are subscriptions, M the manual group.
QString where(const GroupCollection &groups)
{
    const ServerPtr selected = groups.selectedServer();
    if (!selected)
        return {};
    for (const auto &group : allGroups(groups)) {
        if (group->findServer(selected->id()))
            return label(*group) + u":"_s + selected->originalName();
    }
    return u"gone:"_s + selected->originalName();
}

ServerPtr find(const GroupCollection &groups, const QString &place)
{
    for (const auto &group : allGroups(groups)) {
        for (const auto &server : group->servers()) {
            if (label(*group) + u":"_s + server->originalName() == place)
                return server;
        }
    }
    return {};
}

const QByteArray twoServers = "vless://u@h:1#a\nss://aes-128-gcm:pw@example.com:8388#b\n";

// An address nobody listens on.
QString closedPortUrl()
{
    return u"http://127.0.0.1:%1/sub"_s.arg(freePort());
}

// Where the parser logged a line it could not read: on the thread that asked, or on another.
std::atomic<int> g_linesLoggedOnCaller = 0;
std::atomic<int> g_linesLoggedElsewhere = 0;

void recordParserLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(u"Error parsing server"_s))
        ++(QThread::currentThread() == QCoreApplication::instance()->thread() ? g_linesLoggedOnCaller
                                                                              : g_linesLoggedElsewhere);
}

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

// The catalogue's work that reaches out: subscription loads and refreshes, and status checks, over
// a local HTTP server and the fake tunnel layer.
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

    void body_data()
    {
        QTest::addColumn<QString>("path"); // "/sub" answers with the body
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("error");
        const QStringList ab { u"a"_s, u"b"_s };
        QTest::newRow("plain lines") << u"/sub"_s << twoServers << ab << QString();
        QTest::newRow("base64") << u"/sub"_s << twoServers.toBase64() << ab << QString();
        QTest::newRow("no servers") << u"/sub"_s << QByteArray("hello\nworld\n") << QStringList()
                                    << u"No servers found in the provided subscription URL"_s;
        QTest::newRow("empty body") << u"/sub"_s << QByteArray() << QStringList() << u"No data received"_s;
        QTest::newRow("not utf-8") << u"/sub"_s << QByteArray("ss://\xff\xfe") << QStringList()
                                   << u"The subscription content could not be decoded."_s;
        QTest::newRow("stalled download")
            << u"/silent"_s << QByteArray() << QStringList() << u"The subscription download timed out"_s;
    }

    void body()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, names);
        QFETCH(QString, error);
        if (path == u"/silent")
            setSubscriptionTimeout(300ms);
        m_http->route("/sub", body);
        const auto outcome = start(m_http->url(path).toString());
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, error);
        QCOMPARE(outcome->names, names);
        QVERIFY(outcome->onCallerThread);
    }

    // A body of many megabytes would stall the GUI: the parser's log shows it ran on another thread.
    void decodesOffTheCallerThread()
    {
        m_http->route("/sub", "not a server\n" + twoServers);
        g_linesLoggedOnCaller = 0;
        g_linesLoggedElsewhere = 0;
        const QtMessageHandler previous = qInstallMessageHandler(recordParserLog);
        const auto outcome = start(m_http->url(u"/sub"_s).toString());
        QTest::qWaitFor([&] { return outcome->done; }, 5000);
        qInstallMessageHandler(previous);
        QCOMPARE(outcome->names, (QStringList { u"a"_s, u"b"_s }));
        QVERIFY(outcome->onCallerThread);
        QCOMPARE(g_linesLoggedElsewhere.load(), 1);
        QCOMPARE(g_linesLoggedOnCaller.load(), 0);
    }

    // Only a running tunnel is asked to fetch what could not be fetched directly.
    void tunnelFallback_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<bool>("emptyBody");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("error");
        const QByteArray content = encodeTunnelRequestResult(TunnelResults::FetchSubscription { twoServers });
        const QByteArray failure = encodeTunnelRequestResult(TunnelResults::Failure { u"blocked"_s });
        const QString refused = u"The server 127.0.0.1 refused the connection"_s;
        const auto connected = VPNStatus::connected;
        const QStringList ab { u"a"_s, u"b"_s };
        QTest::newRow("refused, tunnel answers") << connected << false << content << ab << QString();
        QTest::newRow("empty, tunnel answers") << connected << true << content << ab << QString();
        QTest::newRow("refused, tunnel fails") << connected << false << failure << QStringList() << refused;
        QTest::newRow("empty, tunnel fails") << connected << true << failure << QStringList() << u"No data received"_s;
        QTest::newRow("refused, no tunnel")
            << VPNStatus::disconnected << false << QByteArray() << QStringList() << refused;
    }

    void tunnelFallback()
    {
        QFETCH(VPNStatus, status);
        QFETCH(bool, emptyBody);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, names);
        QFETCH(QString, error);
        auto &connection = tunnel(status);
        m_http->route("/empty", QByteArray());
        const QString url = emptyBody ? m_http->url(u"/empty"_s).toString() : closedPortUrl();
        const auto outcome = start(url);
        if (!answer.isEmpty()) {
            QTRY_COMPARE(connection.messages.size(), 1);
            QVERIFY(connection.messages.first().bytes.contains(url.toUtf8()));
            connection.answer(0, answer);
        }
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, error);
        QCOMPARE(outcome->names, names);
        QCOMPARE(connection.messages.size(), answer.isEmpty() ? 0 : 1);
    }
    // Old servers are "originalName" or "originalName=user's name"; places are "<group>:<originalName>".
    void replace_data()
    {
        QTest::addColumn<QStringList>("manual");
        QTest::addColumn<QStringList>("old");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("fresh");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("selectedAfter");
        const QStringList xy { u"x"_s, u"y"_s };
        const auto add = [](const char *tag, const QStringList &manual, const QStringList &old, const QString &selected,
                             const QStringList &fresh, const QStringList &names, const QString &selectedAfter) {
            QTest::newRow(tag) << manual << old << selected << fresh << names << selectedAfter;
        };
        add("user names kept, new servers named by provider", {}, { u"x=Home"_s, u"y"_s }, u"B:b1"_s,
            { u"z"_s, u"y"_s, u"x"_s }, { u"z"_s, u"y"_s, u"Home"_s }, u"B:b1"_s);
        add("same originalName takes the first old name", {}, { u"x=One"_s, u"x=Two"_s }, u"B:b2"_s, { u"x"_s, u"x"_s },
            { u"One"_s, u"One"_s }, u"B:b2"_s);
        add("selection follows originalName", {}, xy, u"A:y"_s, { u"z"_s, u"y"_s }, { u"z"_s, u"y"_s }, u"A:y"_s);
        add("selection dropped by provider: first server", {}, xy, u"A:y"_s, { u"z"_s, u"w"_s }, { u"z"_s, u"w"_s },
            u"A:z"_s);
        add("manual selection stays", { u"m"_s }, xy, u"M:m"_s, { u"y"_s }, { u"y"_s }, u"M:m"_s);
        add("empty copy: manual server", { u"m"_s }, xy, u"A:x"_s, {}, {}, u"M:m"_s);
        add("empty copy: first other subscription", {}, xy, u"A:x"_s, {}, {}, u"B:b1"_s);
    }

    void replace()
    {
        QFETCH(QStringList, manual);
        QFETCH(QStringList, old);
        QFETCH(QString, selected);
        QFETCH(QStringList, fresh);
        QFETCH(QStringList, names);
        QFETCH(QString, selectedAfter);

        // B first, so a default choice among subscriptions does not land on the group being replaced.
        const auto other = subscription(u"B"_s, { u"b1"_s, u"b2"_s });
        QStringList originalNames;
        for (const QString &server : old)
            originalNames.append(server.section(u'=', 0, 0));
        const auto target = subscription(u"A"_s, originalNames);
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

    void due_data()
    {
        QTest::addColumn<bool>("manual");
        QTest::addColumn<bool>("autoUpdate");
        QTest::addColumn<qint64>("ageSeconds");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("due");
        QTest::newRow("no auto update, forced") << false << false << 0LL << true << true;
        QTest::newRow("exactly two hours") << false << true << 7200LL << false << false;
        QTest::newRow("two hours and a second") << false << true << 7201LL << false << true;
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
    // A check without a running tunnel ends at once, as unknown, without asking anything.
    void one_data()
    {
        QTest::addColumn<VPNStatus>("tunnelStatus");
        QTest::addColumn<bool>("current");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<OnlineStatus>("status");
        const QByteArray failure = encodeTunnelRequestResult(TunnelResults::Failure { u"no route"_s });
        const auto on = VPNStatus::connected;
        QTest::newRow("online") << on << false << statusAnswer(OnlineStatus::online) << OnlineStatus::online;
        QTest::newRow("tunnel failure") << on << false << failure << OnlineStatus::unknown;
        QTest::newRow("current, offline") << on << true << statusAnswer(OnlineStatus::offline) << OnlineStatus::offline;
        QTest::newRow("current, no tunnel") << VPNStatus::disconnected << true << QByteArray() << OnlineStatus::unknown;
    }

    void one()
    {
        QFETCH(VPNStatus, tunnelStatus);
        QFETCH(bool, current);
        QFETCH(QByteArray, answer);
        QFETCH(OnlineStatus, status);
        auto &connection = tunnel(tunnelStatus);
        const ServerPtr server = makeTestServer(u"One"_s);
        server->setStatus(OnlineStatus::online == status ? OnlineStatus::offline : OnlineStatus::online);
        QSignalSpy busy(server.get(), &Server::inProgressChanged);
        m_running.push_back(current ? checkCurrentStatus(server, *m_vpn) : checkStatus(server, *m_vpn));
        if (!answer.isEmpty()) {
            QTRY_COMPARE(connection.messages.size(), 1);
            QVERIFY(server->inProgress());
            connection.answer(0, answer);
        }
        QTRY_COMPARE(busy.count(), 2);
        QCOMPARE(server->status(), status);
        QCOMPARE(connection.messages.size(), answer.isEmpty() ? 0 : 1);
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
        QCOMPARE(servers[0]->status(), OnlineStatus::online);
        QCOMPARE(servers[1]->status(), OnlineStatus::offline);
        QCOMPARE(servers[2]->status(), OnlineStatus::online);
        QVERIFY(!servers[2]->inProgress());
    }
};

WRENLOW_TEST(CatalogueFetchTest)
#include "tst_subscriptionrefresh.moc"
