// The tunnel program, run for real and driven over its socket as the application drives it.
#include "httpserver.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelharness.h"

#include "core/tunnel/tunnelprovidererror.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <tuple>

using namespace tunneltest;
using namespace Qt::StringLiterals;

namespace {

constexpr int disconnected = 1, connecting = 2, connected = 3, disconnecting = 5;
constexpr auto groupOrOthers
    = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

const bool hasGSettings = !QStandardPaths::findExecutable(u"gsettings"_s).isEmpty();

std::optional<OnlineStatus> statusIn(const std::optional<TunnelRequestResult> &result)
{
    const auto *online = result ? std::get_if<TunnelResults::OnlineStatusResult>(&*result) : nullptr;
    return online ? std::optional(online->status) : std::nullopt;
}

QString reasonIn(const std::optional<TunnelRequestResult> &result)
{
    const auto *failure = result ? std::get_if<TunnelResults::Failure>(&*result) : nullptr;
    return failure ? failure->reason : u"<no failure>"_s;
}

PlatformError storedError(const QString &path)
{
    QFile file(path);
    return decodePlatformError(json::parse(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("{}")));
}

} // namespace

class TunnelProgramTest : public QObject {
    Q_OBJECT

    // Holds a port the way another program would.
    QTcpServer m_occupied;
    using Ending = std::tuple<QString, int, int, QString>;
    using InvalidStart = std::tuple<QByteArray, int, QString>;

private Q_SLOTS:
    // Before any start the requests that need a configuration are refused, with the reason.
    void beforeStart()
    {
        QProcess process;
        const auto exitCode = [&process](const QStringList &arguments) {
            process.start(u"" WRENLOW_TUNNEL_PATH ""_s, arguments);
            return process.waitForFinished(10000) ? process.exitCode() : -1;
        };
        QCOMPARE(exitCode({ u"--handshake"_s }), 0);
        QCOMPARE(process.readAllStandardOutput(), "{\"protocol\":1,\"version\":\"" WRENLOW_EXPECTED_VERSION "\"}\n"_ba);

        TunnelProcess tunnel;
        TunnelClient client;
        QVERIFY(tunnel.launch() && client.connectTo(tunnel.socketPath()));
        QCOMPARE(QFile::permissions(tunnel.directory()) & groupOrOthers, QFile::Permissions());
        QCOMPARE(client.hello().value_or(ipc::Frame {}).payload,
            "{\"protocol\":1,\"version\":\"" WRENLOW_EXPECTED_VERSION "\",\"status\":2}"_ba);
        QCOMPARE(reasonIn(client.ask(TunnelRequests::Change { backendFor(u"127.0.0.1"_s, 8388) })),
            u"Cannot change the configuration: the tunnel has not been started"_s);
        QCOMPARE(reasonIn(client.ask(TunnelRequests::ChangeNetworkSettings { NetworkSettings {} })),
            u"Cannot change the network settings: the tunnel has not been started"_s);
        // What the request decoder says reaches the client.
        const auto garbage = client.waitFor(client.send(ipc::Kind::request, "\x01garbage{"), ipc::Kind::response);
        QCOMPARE(reasonIn(decodeTunnelRequestResult(garbage.value_or(ipc::Frame {}).payload)),
            u"Invalid request: The data is not valid JSON: syntax error at byte 1"_s);

        // A malformed frame closes its own connection only; a good frame before it is still answered.
        const QByteArray answered = ipc::encode(ipc::Frame { ipc::Kind::request, 1, R"({"getMemoryUsed":{}})" });
        for (const QByteArray &bytes : { ipc::encode(ipc::Frame { ipc::Kind(42), 1, "{}" }),
                 ipc::encode(ipc::Frame { ipc::Kind::status, 1, R"({"status":3})" }),
                 QByteArray(answered + ipc::encode(ipc::Frame { ipc::Kind(0), 2, {} })) }) {
            TunnelClient bad;
            QVERIFY(bad.connectTo(tunnel.socketPath()));
            bad.sendRaw(bytes);
            QVERIFY(bad.waitForDisconnected());
            QCOMPARE(bad.frames().size(), bytes.startsWith(answered) ? 1 : 0);
        }
        // A second tunnel leaves the socket to the running one, without an error of its own.
        QCOMPARE(exitCode({ u"--socket"_s, tunnel.socketPath() }), 1);
        QVERIFY(!QFile::exists(tunnel.lastErrorPath()));
        TunnelClient later;
        QVERIFY(later.connectTo(tunnel.socketPath()) && later.hello());
        QCOMPARE(TunnelClient::statusOf(client.hello()), connecting);
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    void invalidStartReportsAndExits_data()
    {
        // Payload, error code, description; one ending in "…" gives only the start, which quotes a parser.
        QTest::addColumn<InvalidStart>("row");
        const BackendConfiguration good = backendFor(u"127.0.0.1"_s, 8388);
        const int startBackend = int(TunnelProviderError::Code::startBackend);
        const auto edited = [&](const char *key, const Json &value) {
            Json j = providerConfiguration(good);
            if (value.is_null())
                j.erase(key);
            else
                j[key] = value;
            return json::serialize(j);
        };
        const auto row = [&](const char *name, const QByteArray &payload, const QString &description) {
            QTest::newRow(name) << InvalidStart { payload, startBackend, u"Cannot start tunnel: "_s + description };
        };
        row("bad backend JSON", edited("backend", "{\"serverSettings\": "),
            u"the backend configuration does not decode: …"_s);
        row("mismatched remoteAddress", edited("remoteAddress", "203.0.113.9"),
            uR"(the remote address "203.0.113.9" does not match the server address "127.0.0.1")"_s);
        QVERIFY(m_occupied.isListening() || m_occupied.listen(QHostAddress::LocalHost));
        BackendConfiguration taken = good;
        taken.appSettings.network.httpProxyPort = m_occupied.serverPort();
        row("http proxy port taken", providerPayload(taken),
            u"the HTTP proxy port %1 is already in use by another program"_s.arg(m_occupied.serverPort()));
        row("system proxy switch differs", edited("isSystemProxy", true),
            u"the system proxy switch (on) does not match the backend configuration (off)"_s);
        row("empty backend", edited("backend", ""), u"the backend configuration is empty"_s);
        row("no remoteAddress", edited("remoteAddress", nullptr),
            uR"(the provider configuration has no "remoteAddress" entry)"_s);
        row("port not a number", edited("httpProxyPort", "8080"),
            uR"(the provider configuration entry "httpProxyPort" is not an integer)"_s);
        row("server port 65536", providerPayload(backendFor(u"127.0.0.1"_s, 65536)),
            u"the server port 65536 is out of range"_s);
        row("blank server address", providerPayload(backendFor(u"  "_s, 8388)), u"the server address is empty"_s);
        // The transparent proxy, with a stand-in for pkexec that refuses.
        BackendConfiguration intercepted = good;
        intercepted.appSettings.network.transparentProxy = true;
        row("interception refused", providerPayload(intercepted),
            u"transparent proxying could not start: permission was refused, or no authentication agent could ask "
            u"for it; the HTTP proxy works without it"_s);
        row("not JSON", "backend=1", u"the provider configuration does not decode: …"_s);
        QTest::newRow("no configuration") << InvalidStart { QByteArray(),
            int(TunnelProviderError::Code::invalidConfiguration), u"Invalid configuration"_s };
    }

    void invalidStartReportsAndExits()
    {
        QFETCH(InvalidStart, row);
        auto &[payload, code, description] = row;
        const bool prefixOnly = description.endsWith(u'…');
        description.remove(u'…');
        QTemporaryDir launcherDirectory;
        QFile refusing(launcherDirectory.filePath(u"pkexec"_s));
        QVERIFY(refusing.open(QIODevice::WriteOnly) && refusing.write("#!/bin/sh\nexit 127\n") > 0);
        refusing.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        refusing.close();
        qputenv("WRENLOW_INTERCEPT_LAUNCHER", refusing.fileName().toLocal8Bit());
        TunnelProcess tunnel;
        qunsetenv("WRENLOW_INTERCEPT_LAUNCHER");
        TunnelClient app;
        TunnelClient watcher;
        QVERIFY(tunnel.launch() && app.connectTo(tunnel.socketPath()) && watcher.connectTo(tunnel.socketPath()));
        QVERIFY(watcher.hello());

        QCOMPARE(app.start(payload), disconnected);
        // The error came first, to every client.
        for (TunnelClient *client : { &app, &watcher }) {
            const auto frame = client->waitFor(0, ipc::Kind::error);
            QVERIFY(frame);
            const PlatformError error = decodePlatformError(json::parse(frame->payload));
            QCOMPARE(std::tuple(error.domain(), error.code(), error.userInfoDescription().value_or(u"none"_s)),
                std::tuple(u"Wrenlow.TunnelProviderError"_s, qint64(code), error.description()));
            QVERIFY2(prefixOnly ? error.description().startsWith(description) : error.description() == description,
                qPrintable(error.description()));
        }
        QCOMPARE(TunnelClient::statusOf(watcher.waitFor(0, ipc::Kind::status)), disconnected);

        QCOMPARE(tunnel.exitCode(), 1);
        QVERIFY(app.waitForDisconnected());
        // Kept for the application to show later, readable by the user alone.
        QCOMPARE(QFile::permissions(tunnel.lastErrorPath()) & groupOrOthers, QFile::Permissions());
        const PlatformError stored = storedError(tunnel.lastErrorPath());
        QCOMPARE(stored.code(), qint64(code));
        QVERIFY(stored.description().startsWith(description));
        QVERIFY(!QFile::exists(tunnel.socketPath()));
    }

    // However the tunnel ends, clients hear why, nothing is left behind (socket, engine) and the
    // user's desktop proxy settings come back.
    void endings_data()
    {
        // The ending is the row's name; its last status (-1: the tunnel had no time to say), its exit
        // code (-1: killed) and the error it leaves.
        QTest::addColumn<Ending>("row");
        const auto row = [](const char *name, int lastStatus, int exitCode, const QString &error = {}) {
            QTest::newRow(name) << Ending { QString::fromLatin1(name), lastStatus, exitCode, error };
        };
        for (const char *name : { "stop", "SIGTERM", "SIGHUP" })
            row(name, disconnecting, 0);
        row("engine killed", disconnected, 1, u"The proxy engine stopped: the engine was killed"_s);
        row("tunnel killed", -1, -1);
        row("killed, recovery run", -1, -1);
    }

    void endings()
    {
        QFETCH(Ending, row);
        const auto &[ending, lastStatus, exitCode, error] = row;
        TunnelProcess tunnel;
        // The user's own choice, which must come back exactly.
        if (hasGSettings)
            proxyMode(tunnel.environment(), u"'auto'"_s);
        TunnelClient app;
        QVERIFY(tunnel.launch() && app.connectTo(tunnel.socketPath()));
        // An error left by an earlier run goes once a start succeeds.
        QVERIFY(QFile(tunnel.lastErrorPath()).open(QIODevice::WriteOnly));
        // The highest port is a valid one.
        BackendConfiguration backend = backendFor(u"127.0.0.1"_s, 65535);
        backend.appSettings.network.systemProxy = hasGSettings;
        QCOMPARE(app.start(providerPayload(backend)), connected);
        QVERIFY(!QFile::exists(tunnel.lastErrorPath()));
        if (hasGSettings)
            QCOMPARE(proxyMode(tunnel.environment()), u"'manual'"_s);
        const qint64 pid = tunnel.process().processId();
        const QList<qint64> engines = childProcesses(pid);
        QCOMPARE(engines.size(), 1);
        if (ending == u"stop")
            QCOMPARE(TunnelClient::statusOf(app.waitFor(app.send(ipc::Kind::stop))), disconnecting);
        else
            ::kill(pid_t(ending == u"engine killed" ? engines.first() : pid),
                ending == u"SIGTERM"      ? SIGTERM
                    : ending == u"SIGHUP" ? SIGHUP
                                          : SIGKILL);
        QVERIFY(app.waitForDisconnected());
        // Whoever sees the tunnel gone finds the user's settings back already.
        if (hasGSettings && exitCode >= 0)
            QCOMPARE(proxyMode(tunnel.environment()), u"'auto'"_s);
        if (lastStatus >= 0)
            QCOMPARE(TunnelClient::statusOf(app.frames().last()), lastStatus);
        QCOMPARE(tunnel.exitCode(), exitCode);
        // A killed tunnel takes its engine along: an orphan would keep the proxy port and the traffic.
        QTRY_VERIFY(!processRuns(engines.first()));
        QCOMPARE(QFile::exists(tunnel.socketPath()), exitCode < 0);
        QCOMPARE(QFile::exists(tunnel.lastErrorPath()) ? storedError(tunnel.lastErrorPath()).description() : QString(),
            error);
        if (exitCode >= 0)
            return;
        // Nobody could restore; the next tunnel does, taking over the socket left behind, or what the
        // app starts at launch: the recovery alone, which exits when done.
        if (hasGSettings)
            QCOMPARE(proxyMode(tunnel.environment()), u"'manual'"_s);
        if (ending == u"tunnel killed") {
            TunnelClient next;
            QVERIFY(tunnel.launch() && next.connectTo(tunnel.socketPath()) && next.hello());
        } else {
            QProcess recovery;
            recovery.setProcessEnvironment(tunnel.environment());
            recovery.start(u"" WRENLOW_TUNNEL_PATH ""_s, { u"--recover-system-proxy"_s });
            QVERIFY(recovery.waitForFinished(15000));
            QCOMPARE(recovery.exitCode(), 0);
        }
        if (hasGSettings)
            QTRY_COMPARE(proxyMode(tunnel.environment()), u"'auto'"_s);
        QCOMPARE(tunnel.terminateAndWait(), ending == u"tunnel killed" ? 0 : -1);
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

    BackendConfiguration current() const { return backendFor(u"127.0.0.1"_s, m_server.port()); }
    std::optional<OnlineStatus> currentStatus() { return statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})); }
    QList<qint64> engines() { return childProcesses(m_tunnel->process().processId()); }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"ss-server"_s).isEmpty())
            QSKIP("needs ss-server (Debian package shadowsocks-libev)");
        QVERIFY2(m_server.startShadowsocks(ShadowsocksCipher::chacha20Poly1305, u"secret"_s),
            qPrintable(m_server.errorString()));
        QVERIFY(m_http.start());
        m_http.route("/subscription", "ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpzZWNyZXQ@198.51.100.7:8388#First\n");
        m_http.route("/redirect", TestHttpServer::Response { 302, {}, "/subscription" });
        qputenv("WRENLOW_CHECK_URL", m_http.url(u"/generate_204"_s).toEncoded());
        m_tunnel = std::make_unique<TunnelProcess>();
        QVERIFY(m_tunnel->launch() && (m_app = std::make_unique<TunnelClient>())->connectTo(m_tunnel->socketPath()));
        QCOMPARE(m_app->start(providerPayload(current())), connected);
    }

    void cleanupTestCase()
    {
        // After all of the above the tunnel still ends cleanly (and, under the sanitizers, leak-free).
        if (m_tunnel)
            QCOMPARE(m_tunnel->terminateAndWait(), 0);
        m_app.reset();
        m_tunnel.reset();
    }

    // Another client's start is refused to it alone, before its payload is even read; the tunnel goes
    // on with the application's configuration, as a client that comes later finds.
    void secondStartIsRefused()
    {
        TunnelClient other;
        QVERIFY(other.connectTo(m_tunnel->socketPath()));
        const qsizetype appFrames = m_app->frames().size();
        const auto refused
            = other.waitFor(other.send(ipc::Kind::start, providerPayload(backendFor(u"127.0.0.1"_s, 1))));
        QVERIFY(refused && refused->kind == ipc::Kind::response);
        QCOMPARE(reasonIn(decodeTunnelRequestResult(refused->payload)),
            u"Cannot start tunnel: the tunnel has already been started"_s);
        QCOMPARE(currentStatus(), OnlineStatus::online);
        QCOMPARE(m_app->frames().size(), appFrames + 1);
        QCOMPARE(TunnelClient::statusOf(other.hello()), connected);
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
        const QUrl refused(u"http://127.0.0.1:%1/subscription"_s.arg(freePort()));
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::FetchSubscription { refused })),
            u"Download failed: HTTP 503 Service Unavailable"_s);
    }

    // A change the engine cannot run is refused before the running engine is touched; one overtaken
    // by the next is dropped with its engine at once, and when the next is refused the configuration
    // in use comes back.
    void refusedAndOvertakenChanges()
    {
        BackendConfiguration intercepted = current();
        intercepted.serverSettings = realityServer(u"127.0.0.1"_s, m_server.port());
        intercepted.appSettings.network.transparentProxy = true;
        QVERIFY(reasonIn(m_app->ask(TunnelRequests::Change { intercepted })).contains(u"runs Debian's v2ray only"));
        if (!QStandardPaths::findExecutable(u"xray"_s).isEmpty())
            QSKIP("xray is installed here, so REALITY can run");
        const QList<qint64> before = engines();
        QCOMPARE(before.size(), 1);
        BackendConfiguration reality = current();
        reality.serverSettings = realityServer(u"127.0.0.1"_s, m_server.port());
        QVERIFY(reasonIn(m_app->ask(TunnelRequests::Change { reality })).contains(u"REALITY"));
        QCOMPARE(engines(), before);

        const quint32 first = m_app->sendRequest(TunnelRequests::Change { backendFor(u"127.0.0.1"_s, freePort()) });
        const quint32 second = m_app->sendRequest(TunnelRequests::Change { reality });
        const auto reasonFor = [this](quint32 id) {
            const auto frame = m_app->waitFor(id);
            return frame ? reasonIn(decodeTunnelRequestResult(frame->payload)) : u"no answer"_s;
        };
        QCOMPARE(reasonFor(first), u"Cannot change the configuration: a newer configuration replaced this one"_s);
        QVERIFY(reasonFor(second).contains(u"REALITY"));
        QTRY_COMPARE(currentStatus(), OnlineStatus::online);
        QCOMPARE(engines().size(), 1);
    }

    void changeNetworkSettings()
    {
        NetworkSettings network = loopbackSettings().network;
        // The desktop's proxy follows the switch while the tunnel runs.
        for (const bool on : { true, false }) {
            network.systemProxy = on && hasGSettings;
            QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })), u"<no failure>"_s);
            if (hasGSettings)
                QCOMPARE(proxyMode(m_tunnel->environment()), on ? u"'manual'"_s : u"'none'"_s);
        }
        network.httpProxyPort = 0;
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })),
            u"Cannot change the network settings: the HTTP proxy port 0 is out of range"_s);
        // A port another program holds is found only once the engine has stopped; the previous
        // settings come back.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost));
        network.httpProxyPort = holder.serverPort();
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })),
            u"Cannot change the network settings: the HTTP proxy port %1 is already in use by another program"_s.arg(
                holder.serverPort()));
        QTRY_COMPARE(currentStatus(), OnlineStatus::online);
        // Without the HTTP proxy its port does not matter.
        network.httpProxy = false;
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })), u"<no failure>"_s);
    }

    // Past fault: checks without a bound ran the tunnel out of file descriptors. Thousands of
    // checks, one answer each, from a tunnel allowed far fewer descriptors than checks.
    void thousandsOfConcurrentChecksAllAnswered()
    {
        constexpr int count = 2000;
        constexpr int fileLimit = 160;
        TunnelProcess tunnel;
        TunnelClient client;
        QVERIFY(tunnel.launch(fileLimit) && client.connectTo(tunnel.socketPath()));
        QCOMPARE(client.start(providerPayload(current())), connected);
        // Every other check is of a server that refuses.
        QHash<quint32, OnlineStatus> expected;
        const quint16 closed = freePort();
        for (int i = 0; i < count; ++i) {
            const BackendConfiguration server = backendFor(u"127.0.0.1"_s, i % 2 ? closed : m_server.port());
            expected.insert(client.sendRequest(TunnelRequests::CheckStatus { server.serverSettings }),
                i % 2 ? OnlineStatus::offline : OnlineStatus::online);
        }
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
        for (const ipc::Frame &frame : client.frames().sliced(1)) {
            QVERIFY(expected.contains(frame.id));
            QCOMPARE(statusIn(decodeTunnelRequestResult(frame.payload)), expected.take(frame.id));
        }
        QVERIFY2(mostOpen < fileLimit, qPrintable(QString::number(mostOpen)));
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    void answersToAVanishedConnectionAreDropped()
    {
        {
            TunnelClient client;
            QVERIFY(client.connectTo(m_tunnel->socketPath()));
            client.sendRequest(TunnelRequests::FetchSubscription { m_http.url(u"/subscription"_s) });
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
