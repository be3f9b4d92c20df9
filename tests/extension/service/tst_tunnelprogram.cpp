// The tunnel program, run for real and driven over its socket as the application drives it.
#include "httpserver.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelharness.h"

#include "core/tunnel/tunnelprovidererror.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace tunneltest;

namespace {

constexpr int disconnected = 1;
constexpr int connecting = 2;
constexpr int connected = 3;
constexpr int disconnecting = 5;
const QByteArray hello = R"({"protocol":1})";

// A socket file with nothing behind it, as a tunnel that was killed leaves.
bool makeStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// Launches the tunnel with `app`, which will drive it, and `watcher`, another application that has
// said hello and only listens.
bool launchWatched(TunnelProcess &tunnel, TunnelClient &app, TunnelClient &watcher)
{
    return tunnel.launch() && app.connectTo(tunnel.socketPath()) && watcher.connectTo(tunnel.socketPath())
        && watcher.waitForAnswer(watcher.send(ipc::Kind::hello, hello));
}

bool hasGSettings()
{
    return !QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty();
}

// The desktop's proxy mode in the tunnel's private configuration.
QString proxyMode(const TunnelProcess &tunnel, const QString &set = {})
{
    QProcess tool;
    tool.setProcessEnvironment(tunnel.environment());
    QStringList arguments { set.isEmpty() ? QStringLiteral("get") : QStringLiteral("set"),
        QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode") };
    if (!set.isEmpty())
        arguments.append(set);
    tool.start(QStringLiteral("gsettings"), arguments);
    if (!tool.waitForFinished(10000))
        return QStringLiteral("<no answer>");
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

std::optional<OnlineStatus> statusIn(const std::optional<TunnelRequestResult> &result)
{
    const auto *online = result ? std::get_if<TunnelResults::OnlineStatusResult>(&*result) : nullptr;
    return online ? std::optional(online->status) : std::nullopt;
}

QString reasonIn(const std::optional<TunnelRequestResult> &result)
{
    const auto *failure = result ? std::get_if<TunnelResults::Failure>(&*result) : nullptr;
    return failure ? failure->reason : QStringLiteral("<no failure>");
}

bool isSuccess(const std::optional<TunnelRequestResult> &result)
{
    return result && std::holds_alternative<TunnelResults::Success>(*result);
}

bool noXray()
{
    return QStandardPaths::findExecutable(QStringLiteral("xray")).isEmpty();
}

} // namespace

class TunnelProgramTest : public QObject {
    Q_OBJECT

    // Holds a port the way another program would.
    QTcpServer m_occupied;

private Q_SLOTS:
    void handshakeAndHello()
    {
        QProcess process;
        process.start(QStringLiteral(WRENLOW_TUNNEL_PATH), { QStringLiteral("--handshake") });
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput(),
            QByteArray("{\"protocol\":1,\"version\":\"" WRENLOW_EXPECTED_VERSION "\"}\n"));
        process.start(QStringLiteral(WRENLOW_TUNNEL_PATH), QStringList());
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);

        TunnelProcess tunnel;
        QVERIFY(tunnel.launch());
        TunnelClient client;
        QVERIFY(client.connectTo(tunnel.socketPath()));
        // The socket's directory was created for the user alone.
        QCOMPARE(fileMode(tunnel.directory()), 0700);
        const auto reply = client.waitForAnswer(client.send(ipc::Kind::hello, hello));
        QVERIFY(reply);
        QCOMPARE(reply->kind, ipc::Kind::helloReply);
        QCOMPARE(
            reply->payload, QByteArray("{\"protocol\":1,\"version\":\"" WRENLOW_EXPECTED_VERSION "\",\"status\":2}"));
        QCOMPARE(TunnelClient::statusOf(*reply), connecting);
    }

    void validStartConnectsAndTellsEveryone()
    {
        TunnelProcess tunnel;
        TunnelClient app;
        TunnelClient watcher;
        QVERIFY(launchWatched(tunnel, app, watcher));
        // An error left by an earlier run goes once a start succeeds.
        QFile stale(tunnel.lastErrorPath());
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();

        const auto answer = app.waitForAnswer(
            app.send(ipc::Kind::start, providerPayload(backendFor(QStringLiteral("127.0.0.1"), 8388))));
        QVERIFY(answer);
        QCOMPARE(answer->kind, ipc::Kind::status);
        QCOMPARE(answer->payload, QByteArray(R"({"status":3})"));
        const auto broadcast = watcher.waitForFrame(ipc::Kind::status, 0);
        QVERIFY(broadcast);
        QCOMPARE(TunnelClient::statusOf(*broadcast), connected);
        QVERIFY(!QFile::exists(tunnel.lastErrorPath()));

        // A client that comes later learns the status from hello.
        TunnelClient later;
        QVERIFY(later.connectTo(tunnel.socketPath()));
        const auto reply = later.waitForAnswer(later.send(ipc::Kind::hello, hello));
        QVERIFY(reply);
        QCOMPARE(TunnelClient::statusOf(*reply), connected);
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    // What the engine's configuration refuses is checked with it; these are the program's own checks.
    void invalidStartReportsAndExits_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("description"); // ends in "…": only the start, which quotes a parser
        const BackendConfiguration good = backendFor(QStringLiteral("127.0.0.1"), 8388);
        const int startBackend = int(TunnelProviderError::Code::startBackend);
        const auto edited = [&](const char *key, const Json &value) {
            Json j = providerConfiguration(good);
            if (value.is_null())
                j.erase(key);
            else
                j[key] = value;
            return json::serialize(j);
        };
        QTest::newRow("bad backend JSON")
            << edited("backend", "{\"serverSettings\": ") << startBackend
            << QStringLiteral("Cannot start tunnel: the backend configuration does not decode: …");
        QTest::newRow("mismatched remoteAddress")
            << edited("remoteAddress", "203.0.113.9") << startBackend
            << QStringLiteral(R"(Cannot start tunnel: the remote address "203.0.113.9" does not match the server )"
                              R"(address "127.0.0.1")");
        QVERIFY(m_occupied.isListening() || m_occupied.listen(QHostAddress::LocalHost));
        BackendConfiguration taken = good;
        taken.appSettings.network.httpProxyPort = m_occupied.serverPort();
        QTest::newRow("http proxy port taken")
            << providerPayload(taken) << startBackend
            << QStringLiteral("Cannot start tunnel: the HTTP proxy port %1 is already in use by another program")
                   .arg(m_occupied.serverPort());
        QTest::newRow("system proxy switch differs")
            << edited("isSystemProxy", true) << startBackend
            << QStringLiteral(
                   "Cannot start tunnel: the system proxy switch (on) does not match the backend configuration (off)");
        QTest::newRow("empty backend") << edited("backend", "") << startBackend
                                       << QStringLiteral("Cannot start tunnel: the backend configuration is empty");
        QTest::newRow("no remoteAddress")
            << edited("remoteAddress", nullptr) << startBackend
            << QStringLiteral(R"(Cannot start tunnel: the provider configuration has no "remoteAddress" entry)");
        QTest::newRow("not JSON") << QByteArray("backend=1") << startBackend
                                  << QStringLiteral(
                                         "Cannot start tunnel: the provider configuration does not decode: …");
        QTest::newRow("no configuration") << QByteArray() << int(TunnelProviderError::Code::invalidConfiguration)
                                          << QStringLiteral("Invalid configuration");
    }

    void invalidStartReportsAndExits()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, code);
        QFETCH(QString, description);
        const bool prefixOnly = description.endsWith(u'…');
        description.remove(u'…');
        TunnelProcess tunnel;
        TunnelClient app;
        TunnelClient watcher;
        QVERIFY(launchWatched(tunnel, app, watcher));

        const auto answer = app.waitForAnswer(app.send(ipc::Kind::start, payload));
        QVERIFY(answer);
        QCOMPARE(answer->kind, ipc::Kind::status);
        QCOMPARE(TunnelClient::statusOf(*answer), disconnected);
        // The error came first, to every client.
        for (TunnelClient *client : { &app, &watcher }) {
            const auto errorFrame = client->waitForFrame(ipc::Kind::error, 0);
            QVERIFY(errorFrame);
            const PlatformError error = decodePlatformError(json::parse(errorFrame->payload));
            QCOMPARE(error.domain(), QStringLiteral("Wrenlow.TunnelProviderError"));
            QCOMPARE(error.code(), qint64(code));
            QCOMPARE(error.userInfoDescription(), std::optional<QString>(error.description()));
            QVERIFY2(prefixOnly ? error.description().startsWith(description) : error.description() == description,
                qPrintable(error.description()));
        }
        const auto watcherStatus = watcher.waitForFrame(ipc::Kind::status, 0);
        QVERIFY(watcherStatus);
        QCOMPARE(TunnelClient::statusOf(*watcherStatus), disconnected);

        QVERIFY(tunnel.waitForExit());
        QCOMPARE(tunnel.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(tunnel.process().exitCode(), 1);
        QVERIFY(app.waitForDisconnected());
        QFile lastError(tunnel.lastErrorPath());
        QVERIFY(lastError.open(QIODevice::ReadOnly));
        QCOMPARE(fileMode(tunnel.lastErrorPath()), 0600);
        const PlatformError stored = decodePlatformError(json::parse(lastError.readAll()));
        QCOMPARE(stored.code(), qint64(code));
        QVERIFY(stored.description().startsWith(description));
        QVERIFY(!QFile::exists(tunnel.socketPath()));
    }

    // However the tunnel ends, clients hear why, nothing is left behind (socket, engine) and the
    // user's desktop proxy settings come back.
    void endings_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("lastStatus"); // -1: the tunnel had no time to say
        QTest::addColumn<int>("exitCode"); // -1: killed
        QTest::addColumn<QString>("error");
        QTest::newRow("stop") << QStringLiteral("stop") << disconnecting << 0 << QString();
        QTest::newRow("SIGTERM") << QStringLiteral("SIGTERM") << disconnecting << 0 << QString();
        QTest::newRow("SIGHUP") << QStringLiteral("SIGHUP") << disconnecting << 0 << QString();
        QTest::newRow("engine killed") << QStringLiteral("engine killed") << disconnected << 1
                                       << QStringLiteral("The proxy engine stopped: the engine was killed");
        QTest::newRow("tunnel killed") << QStringLiteral("tunnel killed") << -1 << -1 << QString();
        QTest::newRow("killed, recovery run") << QStringLiteral("killed, recovery run") << -1 << -1 << QString();
    }

    void endings()
    {
        QFETCH(QString, ending);
        QFETCH(int, lastStatus);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        TunnelProcess tunnel;
        const bool desktop = hasGSettings();
        // The user's own choice, which must come back exactly.
        if (desktop)
            proxyMode(tunnel, QStringLiteral("'auto'"));
        QVERIFY(tunnel.launch());
        TunnelClient app;
        QVERIFY(app.connectTo(tunnel.socketPath()));
        BackendConfiguration backend = backendFor(QStringLiteral("127.0.0.1"), 8388);
        backend.appSettings.network.systemProxy = desktop;
        const auto started = app.waitForAnswer(app.send(ipc::Kind::start, providerPayload(backend)));
        QVERIFY(started);
        QCOMPARE(TunnelClient::statusOf(*started), connected);
        if (desktop)
            QCOMPARE(proxyMode(tunnel), QStringLiteral("'manual'"));
        const qint64 pid = tunnel.process().processId();
        const QList<qint64> engines = childProcesses(pid);
        QCOMPARE(engines.size(), 1);

        if (ending == u"stop") {
            const auto answer = app.waitForAnswer(app.send(ipc::Kind::stop));
            QVERIFY(answer);
            QCOMPARE(TunnelClient::statusOf(*answer), disconnecting);
        } else {
            ::kill(pid_t(ending == u"engine killed" ? engines.first() : pid),
                ending == u"SIGTERM"      ? SIGTERM
                    : ending == u"SIGHUP" ? SIGHUP
                                          : SIGKILL);
        }
        QVERIFY(app.waitForDisconnected());
        // Whoever sees the tunnel gone finds the user's settings back already.
        if (desktop && exitCode >= 0)
            QCOMPARE(proxyMode(tunnel), QStringLiteral("'auto'"));
        if (lastStatus >= 0)
            QCOMPARE(TunnelClient::statusOf(app.frames().last()), lastStatus);
        QVERIFY(tunnel.waitForExit());
        QCOMPARE(tunnel.process().exitStatus() == QProcess::NormalExit ? tunnel.process().exitCode() : -1, exitCode);
        // A killed tunnel takes its engine along: an orphan would keep the proxy port and the traffic.
        QTRY_VERIFY(!processRuns(engines.first()));
        if (exitCode >= 0)
            QVERIFY(!QFile::exists(tunnel.socketPath()));
        QFile lastError(tunnel.lastErrorPath());
        if (error.isEmpty()) {
            QVERIFY(!lastError.exists());
        } else {
            QVERIFY(lastError.open(QIODevice::ReadOnly));
            QCOMPARE(decodePlatformError(json::parse(lastError.readAll())).description(), error);
        }

        if (exitCode < 0 && desktop) {
            // Nobody could restore; the next tunnel does, or what the app starts at launch: the
            // recovery alone, which exits when done.
            QCOMPARE(proxyMode(tunnel), QStringLiteral("'manual'"));
            if (ending == u"tunnel killed") {
                QVERIFY(tunnel.launch());
                QTRY_COMPARE(proxyMode(tunnel), QStringLiteral("'auto'"));
                QTRY_VERIFY(QFile::exists(tunnel.socketPath()));
                QCOMPARE(tunnel.terminateAndWait(), 0);
            } else {
                QProcess recovery;
                recovery.setProcessEnvironment(tunnel.environment());
                recovery.start(QStringLiteral(WRENLOW_TUNNEL_PATH), { QStringLiteral("--recover-system-proxy") });
                QVERIFY(recovery.waitForFinished(15000));
                QCOMPARE(recovery.exitCode(), 0);
                QCOMPARE(proxyMode(tunnel), QStringLiteral("'auto'"));
            }
        }
    }

    // Another client's start, junk or valid, is refused to it alone; the running tunnel goes on as it was.
    void secondStartIsRefusedAlone_data()
    {
        QTest::addColumn<bool>("valid");
        QTest::newRow("junk") << false;
        QTest::newRow("another configuration") << true;
    }

    void secondStartIsRefusedAlone()
    {
        QFETCH(bool, valid);
        TunnelProcess tunnel;
        QVERIFY(tunnel.launch());
        TunnelClient app;
        TunnelClient other;
        QVERIFY(app.connectTo(tunnel.socketPath()));
        QVERIFY(other.connectTo(tunnel.socketPath()));
        const auto started = app.waitForAnswer(
            app.send(ipc::Kind::start, providerPayload(backendFor(QStringLiteral("127.0.0.1"), 8388))));
        QVERIFY(started && TunnelClient::statusOf(*started) == connected);
        QVERIFY(other.waitForFrame(ipc::Kind::status, 0));
        const qsizetype appFrames = app.frames().size();

        BackendConfiguration replacement = backendFor(QStringLiteral("127.0.0.1"), 8389);
        replacement.appSettings.network.httpProxy = true;
        replacement.appSettings.network.httpProxyPort = freePort();
        const auto refused = other.waitForAnswer(
            other.send(ipc::Kind::start, valid ? providerPayload(replacement) : QByteArray("junk")));
        QVERIFY(refused);
        QCOMPARE(refused->kind, ipc::Kind::response);
        const TunnelRequestResult result = decodeTunnelRequestResult(refused->payload);
        const auto *failure = std::get_if<TunnelResults::Failure>(&result);
        QVERIFY(failure);
        QCOMPARE(failure->reason, QStringLiteral("Cannot start tunnel: the tunnel has already been started"));

        // The application hears nothing of it, and its tunnel still runs with its own configuration.
        const auto memory = app.ask(TunnelRequests::GetMemoryUsed {});
        QVERIFY(memory && std::holds_alternative<TunnelResults::MemoryUsed>(*memory));
        QCOMPARE(app.frames().size(), appFrames + 1);
        QTcpSocket proxy;
        proxy.connectToHost(QHostAddress::LocalHost, quint16(replacement.appSettings.network.httpProxyPort));
        QVERIFY(!proxy.waitForConnected(1000));
        QVERIFY(!QFile::exists(tunnel.lastErrorPath()));
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    void malformedFrameClosesOnlyThatConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("answersFirst");
        QTest::newRow("unknown kind") << ipc::encode(ipc::Frame { ipc::Kind(42), 1, "{}" }) << false;
        QTest::newRow("length below 5") << QByteArray::fromHex("00000003010000") << false;
        QTest::newRow("oversized") << QByteArray::fromHex("ffffffff0500000001") << false;
        QTest::newRow("a kind the tunnel sends")
            << ipc::encode(ipc::Frame { ipc::Kind::status, 1, R"({"status":3})" }) << false;
        // A good frame before the bad one is still answered.
        QTest::newRow("after a good frame")
            << ipc::encode(ipc::Frame { ipc::Kind::request, 1, R"({"getMemoryUsed":{}})" })
                + ipc::encode(ipc::Frame { ipc::Kind(0), 2, {} })
            << true;
    }

    void malformedFrameClosesOnlyThatConnection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, answersFirst);
        TunnelProcess tunnel;
        QVERIFY(tunnel.launch());
        TunnelClient bad;
        TunnelClient good;
        QVERIFY(bad.connectTo(tunnel.socketPath()));
        QVERIFY(good.connectTo(tunnel.socketPath()));
        bad.sendRaw(bytes);
        QVERIFY(bad.waitForDisconnected());
        QCOMPARE(bad.answerCounts().value(1), answersFirst ? 1 : 0);
        const auto reply = good.waitForAnswer(good.send(ipc::Kind::hello, hello));
        QVERIFY(reply);
        QCOMPARE(reply->kind, ipc::Kind::helloReply);
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    void secondTunnelLeavesTheFirstAlone()
    {
        TunnelProcess first;
        QVERIFY(first.launch());
        TunnelClient app;
        QVERIFY(app.connectTo(first.socketPath()));
        QProcess second;
        second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        second.start(QStringLiteral(WRENLOW_TUNNEL_PATH), { QStringLiteral("--socket"), first.socketPath() });
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(!QFile::exists(first.lastErrorPath()));
        // The first still owns the socket: old and new connections reach it.
        QVERIFY(app.waitForAnswer(app.send(ipc::Kind::hello, hello)));
        TunnelClient later;
        QVERIFY(later.connectTo(first.socketPath()));
        QVERIFY(later.waitForAnswer(later.send(ipc::Kind::hello, hello)));
    }

    void staleSocketIsTakenOver()
    {
        TunnelProcess tunnel;
        QVERIFY(QDir().mkpath(tunnel.directory()));
        QVERIFY(makeStaleSocket(tunnel.socketPath()));
        QVERIFY(tunnel.launch());
        TunnelClient app;
        QVERIFY(app.connectTo(tunnel.socketPath()));
        const auto reply = app.waitForAnswer(app.send(ipc::Kind::hello, hello));
        QVERIFY(reply);
        QCOMPARE(reply->kind, ipc::Kind::helloReply);
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    // Before any start the requests that need a configuration are refused, the others answered.
    void requestsBeforeStart()
    {
        TunnelProcess tunnel;
        QVERIFY(tunnel.launch());
        TunnelClient app;
        QVERIFY(app.connectTo(tunnel.socketPath()));
        QCOMPARE(statusIn(app.ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::unknown);
        QCOMPARE(reasonIn(app.ask(TunnelRequests::Change { backendFor(QStringLiteral("127.0.0.1"), 8388) })),
            QStringLiteral("Cannot change the configuration: the tunnel has not been started"));
        QCOMPARE(reasonIn(app.ask(TunnelRequests::ChangeNetworkSettings { NetworkSettings {} })),
            QStringLiteral("Cannot change the network settings: the tunnel has not been started"));
        const auto graph = app.waitForAnswer(app.sendRequest(TunnelRequests::GetGraphData {}));
        QVERIFY(graph);
        QCOMPARE(graph->payload.size(), 256);
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }
};

// Every request the application sends, answered by one started tunnel in front of a real
// Shadowsocks server, through which the checks and downloads go.
class TunnelRequestsTest : public QObject {
    Q_OBJECT

    peers::ProxyPeer m_server;
    TestHttpServer m_http;
    std::unique_ptr<TunnelProcess> m_tunnel;
    std::unique_ptr<TunnelClient> m_app;

    BackendConfiguration current() const { return backendFor(QStringLiteral("127.0.0.1"), m_server.port()); }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("ss-server")).isEmpty())
            QSKIP("needs ss-server (Debian package shadowsocks-libev)");
        QVERIFY2(m_server.startShadowsocks(ShadowsocksCipher::chacha20Poly1305, QStringLiteral("secret")),
            qPrintable(m_server.errorString()));
        QVERIFY(m_http.start());
        m_http.route("/subscription", "ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpzZWNyZXQ@198.51.100.7:8388#First\n");
        m_http.route("/redirect", TestHttpServer::Response { 302, {}, "/subscription" });
        qputenv("WRENLOW_CHECK_URL", m_http.url(QStringLiteral("/generate_204")).toEncoded());
        m_tunnel = std::make_unique<TunnelProcess>();
        QVERIFY(m_tunnel->launch());
        m_app = std::make_unique<TunnelClient>();
        QVERIFY(m_app->connectTo(m_tunnel->socketPath()));
        const auto started = m_app->waitForAnswer(m_app->send(ipc::Kind::start, providerPayload(current())));
        QVERIFY(started);
        QCOMPARE(TunnelClient::statusOf(*started), connected);
    }

    void cleanupTestCase()
    {
        if (!m_tunnel)
            return;
        // After all of the above the tunnel still ends cleanly (and, under the sanitizers, leak-free).
        QCOMPARE(m_tunnel->terminateAndWait(), 0);
        m_app.reset();
        m_tunnel.reset();
    }

    void checkStatus()
    {
        const auto check = [&](const QString &host, quint16 port) {
            return statusIn(m_app->ask(TunnelRequests::CheckStatus { backendFor(host, port).serverSettings }));
        };
        QCOMPARE(check(QStringLiteral("127.0.0.1"), m_server.port()), OnlineStatus::online);
        // A host name, resolved without blocking the tunnel.
        QCOMPARE(check(QStringLiteral("localhost"), m_server.port()), OnlineStatus::online);
        QCOMPARE(check(QStringLiteral("127.0.0.1"), freePort()), OnlineStatus::offline);
        QCOMPARE(check(QStringLiteral("127.0.0.1"), 0), OnlineStatus::offline);
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::online);
    }

    void fetchSubscription()
    {
        for (const char *path : { "/subscription", "/redirect" }) {
            const auto result = m_app->ask(TunnelRequests::FetchSubscription { m_http.url(QString::fromLatin1(path)) });
            const auto *fetched = result ? std::get_if<TunnelResults::FetchSubscription>(&*result) : nullptr;
            QVERIFY2(fetched, qPrintable(reasonIn(result)));
            QVERIFY(fetched->data.endsWith("#First\n"));
        }
        // Through the engine, an unreachable site is the proxy's 503.
        const QUrl refused(QStringLiteral("http://127.0.0.1:%1/subscription").arg(freePort()));
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::FetchSubscription { refused })),
            QStringLiteral("Download failed: HTTP 503 Service Unavailable"));
    }

    void countersAndMemory()
    {
        const auto answer = m_app->waitForAnswer(m_app->sendRequest(TunnelRequests::GetGraphData {}));
        QVERIFY(answer);
        QCOMPARE(answer->kind, ipc::Kind::response);
        const auto graph = decodeGraphData(answer->payload);
        QVERIFY(graph);
        QCOMPARE(graph->dataSize, 60);
        QCOMPARE(graph->graphData, QByteArray(240, '\0'));
        const auto result = m_app->ask(TunnelRequests::GetMemoryUsed {});
        const auto *memory = result ? std::get_if<TunnelResults::MemoryUsed>(&*result) : nullptr;
        QVERIFY(memory);
        QVERIFY(memory->amount > 1024 * 1024 && memory->amount < qint64(4) * 1024 * 1024 * 1024);
    }

    void changeKeepsAValidConfiguration()
    {
        QVERIFY(isSuccess(m_app->ask(TunnelRequests::Change { backendFor(QStringLiteral("127.0.0.1"), freePort()) })));
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::offline);
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::Change { backendFor(QStringLiteral("127.0.0.1"), 0) })),
            QStringLiteral("Cannot change the configuration: the server port 0 is out of range"));
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::Change { backendFor(QStringLiteral("  "), 8388) })),
            QStringLiteral("Cannot change the configuration: the server address is empty"));
        // The refused change left the previous one in place.
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::offline);
        QVERIFY(isSuccess(m_app->ask(TunnelRequests::Change { current() })));
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::online);
    }

    // A change the engine cannot run safely is refused before the running engine is touched.
    void refusedChangeKeepsTheEngine()
    {
        if (!noXray())
            QSKIP("xray is installed here, so REALITY can run");
        const QList<qint64> engines = childProcesses(m_tunnel->process().processId());
        QCOMPARE(engines.size(), 1);
        BackendConfiguration reality = current();
        reality.serverSettings = realityServer(QStringLiteral("127.0.0.1"), m_server.port());
        QVERIFY(reasonIn(m_app->ask(TunnelRequests::Change { reality })).contains(u"REALITY"));
        QCOMPARE(childProcesses(m_tunnel->process().processId()), engines);
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::online);
    }

    // A change overtaken by the next one is dropped with its engine at once; when the next one is
    // refused, the configuration in use comes back.
    void overtakenChangeLeavesTheCurrentConfiguration()
    {
        if (!noXray())
            QSKIP("xray is installed here, so REALITY can run");
        BackendConfiguration elsewhere = current();
        elsewhere.serverSettings = backendFor(QStringLiteral("127.0.0.1"), freePort()).serverSettings;
        BackendConfiguration reality = current();
        reality.serverSettings = realityServer(QStringLiteral("127.0.0.1"), m_server.port());
        const quint32 first = m_app->sendRequest(TunnelRequests::Change { elsewhere });
        const quint32 second = m_app->sendRequest(TunnelRequests::Change { reality });
        const auto overtaken = m_app->waitForAnswer(first);
        const auto refused = m_app->waitForAnswer(second);
        QVERIFY(overtaken && refused);
        QCOMPARE(reasonIn(decodeTunnelRequestResult(overtaken->payload)),
            QStringLiteral("Cannot change the configuration: a newer configuration replaced this one"));
        QVERIFY(reasonIn(decodeTunnelRequestResult(refused->payload)).contains(QStringLiteral("REALITY")));
        QTRY_COMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::online);
        QCOMPARE(childProcesses(m_tunnel->process().processId()).size(), 1);
    }

    void changeNetworkSettings()
    {
        NetworkSettings network = loopbackSettings().network;
        // The desktop's proxy follows the switch while the tunnel runs.
        if (hasGSettings()) {
            network.systemProxy = true;
            QVERIFY(isSuccess(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })));
            QCOMPARE(proxyMode(*m_tunnel), QStringLiteral("'manual'"));
            network.systemProxy = false;
        }
        QVERIFY(isSuccess(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })));
        if (hasGSettings())
            QCOMPARE(proxyMode(*m_tunnel), QStringLiteral("'none'"));
        network.httpProxyPort = 0;
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })),
            QStringLiteral("Cannot change the network settings: the HTTP proxy port 0 is out of range"));
        // A port another program holds is found only once the engine has stopped; the previous
        // settings come back.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost));
        network.httpProxyPort = holder.serverPort();
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })),
            QStringLiteral(
                "Cannot change the network settings: the HTTP proxy port %1 is already in use by another program")
                .arg(holder.serverPort()));
        QTRY_COMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::online);
        // Without the HTTP proxy its port does not matter.
        network.httpProxy = false;
        QVERIFY(isSuccess(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })));
    }

    void undecodableRequestsGetAFailure_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("reason");
        const QString oneKey = QStringLiteral("Invalid request: Invalid number of keys found, expected one.");
        QTest::newRow("garbage") << QByteArray("\x01garbage{")
                                 << QStringLiteral("Invalid request: The data is not valid JSON");
        QTest::newRow("unknown case") << QByteArray(R"({"reboot":{}})") << oneKey;
        QTest::newRow("two cases") << QByteArray(R"({"getGraphData":{},"getMemoryUsed":{}})") << oneKey;
        QTest::newRow("missing payload") << QByteArray(R"({"checkStatus":{}})")
                                         << QStringLiteral("Invalid request: No value for key");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("Invalid request: ");
    }

    void undecodableRequestsGetAFailure()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, reason);
        const auto answer = m_app->waitForAnswer(m_app->send(ipc::Kind::request, payload));
        QVERIFY(answer);
        QCOMPARE(answer->kind, ipc::Kind::response);
        const QString text = reasonIn(decodeTunnelRequestResult(answer->payload));
        QVERIFY2(text.startsWith(reason), qPrintable(text));
    }

    // Past fault: checks without a bound ran the tunnel out of file descriptors. Thousands of
    // checks, one answer each, from a tunnel allowed far fewer descriptors than checks.
    void thousandsOfConcurrentChecksAllAnswered()
    {
        constexpr int count = 2000;
        constexpr int fileLimit = 160;
        TunnelProcess tunnel;
        QVERIFY(tunnel.launch(fileLimit));
        TunnelClient client;
        QVERIFY(client.connectTo(tunnel.socketPath()));
        QVERIFY(client.waitForAnswer(client.send(ipc::Kind::start, providerPayload(current()))));
        QList<quint32> ids;
        for (int i = 0; i < count; ++i)
            ids.append(client.sendRequest(TunnelRequests::CheckStatus { current().serverSettings }));
        int mostOpen = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                mostOpen = std::max(mostOpen, tunnel.openFiles());
                return client.frames().size() >= count + 1;
            },
            15000));
        // Nothing more trickles in.
        QTest::qWait(100);
        QCOMPARE(client.frames().size(), count + 1);
        for (const quint32 id : std::as_const(ids))
            QCOMPARE(client.answerCounts().value(id), 1);
        for (const ipc::Frame &frame : client.frames().sliced(1))
            QCOMPARE(statusIn(decodeTunnelRequestResult(frame.payload)), OnlineStatus::online);
        QVERIFY2(mostOpen < fileLimit, qPrintable(QString::number(mostOpen)));
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    void answersToAVanishedConnectionAreDropped()
    {
        {
            TunnelClient client;
            QVERIFY(client.connectTo(m_tunnel->socketPath()));
            client.sendRequest(TunnelRequests::FetchSubscription { m_http.url(QStringLiteral("/subscription")) });
            for (int i = 0; i < 50; ++i)
                client.sendRequest(TunnelRequests::CheckStatus { current().serverSettings });
        }
        QTest::qWait(200);
        QCOMPARE(m_tunnel->process().state(), QProcess::Running);
        QVERIFY(m_app->ask(TunnelRequests::GetMemoryUsed {}));
    }
};

WRENLOW_TEST(TunnelProgramTest)
WRENLOW_TEST(TunnelRequestsTest)
#include "tst_tunnelprogram.moc"
