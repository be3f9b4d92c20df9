// The tunnel program's life over its socket: handshake, hello, start, stop, signals, bad clients.
#include "testpeers.h"
#include "testregistry.h"
#include "tunnelharness.h"

#include "core/tunnel/tunnelprovidererror.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace tunneltest;

namespace {

constexpr int connecting = 2;
constexpr int connected = 3;
constexpr int disconnected = 1;
constexpr int disconnecting = 5;

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

// Launches the tunnel with two connections: `app`, which will drive it, and `watcher`, another
// application that has said hello and only listens.
bool launchWatched(TunnelProcess &tunnel, TunnelClient &app, TunnelClient &watcher)
{
    return tunnel.launch() && app.connectTo(tunnel.socketPath()) && watcher.connectTo(tunnel.socketPath())
        && watcher.waitForAnswer(watcher.send(ipc::Kind::hello, R"({"protocol":1})"));
}

// Launches the tunnel, connects `app` and starts it with a server nobody needs to reach; true once
// the tunnel says it is connected.
bool runTunnel(TunnelProcess &tunnel, TunnelClient &app)
{
    if (!tunnel.launch() || !app.connectTo(tunnel.socketPath()))
        return false;
    const auto started
        = app.waitForAnswer(app.send(ipc::Kind::start, providerPayload(backendFor(QStringLiteral("127.0.0.1"), 8388))));
    return started && TunnelClient::statusOf(*started) == connected;
}

} // namespace

class TunnelProgramTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void handshakePrintsProtocolAndVersion()
    {
        QProcess process;
        process.start(QStringLiteral(WRENLOW_TUNNEL_PATH), { QStringLiteral("--handshake") });
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput(),
            QByteArray("{\"protocol\":1,\"version\":\"" WRENLOW_EXPECTED_VERSION "\"}\n"));
    }

    void helloBeforeStartReportsConnecting()
    {
        TunnelProcess tunnel;
        QVERIFY(tunnel.launch());
        TunnelClient client;
        QVERIFY(client.connectTo(tunnel.socketPath()));
        // The socket's directory was created for the user alone.
        QCOMPARE(fileMode(tunnel.directory()), 0700);
        const auto reply = client.waitForAnswer(client.send(ipc::Kind::hello, R"({"protocol":1})"));
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
        stale.write("{}");
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
        const auto reply = later.waitForAnswer(later.send(ipc::Kind::hello, R"({"protocol":1})"));
        QVERIFY(reply);
        QCOMPARE(TunnelClient::statusOf(*reply), connected);
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    void invalidStartReportsAndExits_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("description");
        // Only the start of descriptions that quote a parser's message.
        QTest::addColumn<bool>("prefixOnly");

        const BackendConfiguration good = backendFor(QStringLiteral("127.0.0.1"), 8388);
        const int startBackend = int(TunnelProviderError::Code::startBackend);
        {
            Json j = providerConfiguration(good);
            j["backend"] = "{\"serverSettings\": ";
            QTest::newRow("bad backend JSON")
                << json::serialize(j) << startBackend
                << QStringLiteral("Cannot start tunnel: the backend configuration does not decode: ") << true;
        }
        QTest::newRow("server port 0") << providerPayload(backendFor(QStringLiteral("127.0.0.1"), 0)) << startBackend
                                       << QStringLiteral("Cannot start tunnel: the server port 0 is out of range")
                                       << false;
        {
            Json j = providerConfiguration(good);
            j["remoteAddress"] = "203.0.113.9";
            QTest::newRow("mismatched remoteAddress")
                << json::serialize(j) << startBackend
                << QStringLiteral(
                       R"(Cannot start tunnel: the remote address "203.0.113.9" does not match the server address "127.0.0.1")")
                << false;
        }
        {
            BackendConfiguration backend = good;
            backend.appSettings.network.httpProxy = true;
            backend.appSettings.network.httpProxyPort = 70000;
            QTest::newRow("http proxy port 70000")
                << providerPayload(backend) << startBackend
                << QStringLiteral("Cannot start tunnel: the HTTP proxy port 70000 is out of range") << false;
        }
        {
            QVERIFY(m_occupied.isListening() || m_occupied.listen(QHostAddress::LocalHost));
            BackendConfiguration backend = good;
            backend.appSettings.network.httpProxyPort = m_occupied.serverPort();
            QTest::newRow("http proxy port taken")
                << providerPayload(backend) << startBackend
                << QStringLiteral("Cannot start tunnel: the HTTP proxy port %1 is already in use by another program")
                       .arg(m_occupied.serverPort())
                << false;
        }
        {
            BackendConfiguration backend = good;
            backend.appSettings.network.transparentProxy = true;
            QTest::newRow("transparent proxy")
                << providerPayload(backend) << startBackend
                << QStringLiteral("Cannot start tunnel: transparent proxying is not available yet; turn it off in the "
                                  "network settings and use the HTTP proxy")
                << false;
        }
        if (QStandardPaths::findExecutable(QStringLiteral("xray")).isEmpty()) {
            BackendConfiguration backend = good;
            backend.serverSettings = realityServer(QStringLiteral("127.0.0.1"), 8443);
            QTest::newRow("REALITY without xray")
                << providerPayload(backend) << startBackend
                << QStringLiteral("Cannot start tunnel: the server uses REALITY, which the v2ray engine does not "
                                  "support; install xray to use it")
                << false;
        }
        {
            Json j = providerConfiguration(good);
            j["isSystemProxy"] = true;
            QTest::newRow("system proxy switch differs")
                << json::serialize(j) << startBackend
                << QStringLiteral("Cannot start tunnel: the system proxy switch (on) does not match the backend "
                                  "configuration (off)")
                << false;
        }
        {
            Json j = providerConfiguration(backendFor(QString(), 8388));
            QTest::newRow("empty server address")
                << json::serialize(j) << startBackend
                << QStringLiteral("Cannot start tunnel: the server address is empty") << false;
        }
        {
            Json j = providerConfiguration(good);
            j["backend"] = "";
            QTest::newRow("empty backend")
                << json::serialize(j) << startBackend
                << QStringLiteral("Cannot start tunnel: the backend configuration is empty") << false;
        }
        {
            Json j = providerConfiguration(good);
            j.erase("remoteAddress");
            QTest::newRow("no remoteAddress")
                << json::serialize(j) << startBackend
                << QStringLiteral(R"(Cannot start tunnel: the provider configuration has no "remoteAddress" entry)")
                << false;
        }
        QTest::newRow("not JSON") << QByteArray("backend=1") << startBackend
                                  << QStringLiteral("Cannot start tunnel: the provider configuration does not decode: ")
                                  << true;
        QTest::newRow("no configuration") << QByteArray() << int(TunnelProviderError::Code::invalidConfiguration)
                                          << QStringLiteral("Invalid configuration") << false;
    }

    void invalidStartReportsAndExits()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, code);
        QFETCH(QString, description);
        QFETCH(bool, prefixOnly);

        TunnelProcess tunnel;
        TunnelClient app;
        TunnelClient watcher;
        QVERIFY(launchWatched(tunnel, app, watcher));
        const quint32 id = app.send(ipc::Kind::start, payload);

        const auto answer = app.waitForAnswer(id);
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
            if (prefixOnly)
                QVERIFY2(error.description().startsWith(description), qPrintable(error.description()));
            else
                QCOMPARE(error.description(), description);
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
        TunnelClient app;
        TunnelClient other;
        QVERIFY(launchWatched(tunnel, app, other));
        const auto started = app.waitForAnswer(
            app.send(ipc::Kind::start, providerPayload(backendFor(QStringLiteral("127.0.0.1"), 8388))));
        QVERIFY(started && TunnelClient::statusOf(*started) == connected);
        QVERIFY(other.waitForFrame(ipc::Kind::status, 0));
        const qsizetype appFrames = app.frames().size();

        BackendConfiguration replacement = backendFor(QStringLiteral("127.0.0.1"), 8389);
        replacement.appSettings.network.httpProxy = true;
        replacement.appSettings.network.httpProxyPort = peers::freePort();
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

    void stopDisconnectsAndExits()
    {
        TunnelProcess tunnel;
        TunnelClient app;
        TunnelClient watcher;
        QVERIFY(launchWatched(tunnel, app, watcher));
        QVERIFY(app.waitForAnswer(
            app.send(ipc::Kind::start, providerPayload(backendFor(QStringLiteral("127.0.0.1"), 8388)))));

        const auto answer = app.waitForAnswer(app.send(ipc::Kind::stop));
        QVERIFY(answer);
        QCOMPARE(answer->kind, ipc::Kind::status);
        QCOMPARE(TunnelClient::statusOf(*answer), disconnecting);
        const auto told = watcher.waitForFrame(ipc::Kind::status, 0);
        QVERIFY(told);
        // The broadcast of connected came first; the last one says disconnecting.
        QVERIFY(watcher.waitForDisconnected());
        QCOMPARE(TunnelClient::statusOf(watcher.frames().last()), disconnecting);

        QVERIFY(tunnel.waitForExit());
        QCOMPARE(tunnel.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(tunnel.process().exitCode(), 0);
        QVERIFY(!QFile::exists(tunnel.socketPath()));
        QVERIFY(!QFile::exists(tunnel.lastErrorPath()));
    }

    void terminationSignalEndsCleanly()
    {
        TunnelProcess tunnel;
        TunnelClient app;
        QVERIFY(runTunnel(tunnel, app));
        tunnel.process().terminate();
        const auto told = app.waitForFrame(ipc::Kind::status, 0);
        QVERIFY(told);
        QCOMPARE(TunnelClient::statusOf(*told), disconnecting);
        QVERIFY(tunnel.waitForExit());
        QCOMPARE(tunnel.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(tunnel.process().exitCode(), 0);
        QVERIFY(!QFile::exists(tunnel.socketPath()));
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

    // The engine dying ends the tunnel with a reason the user can read, never a silent stop.
    void engineDeathIsReported()
    {
        TunnelProcess tunnel;
        TunnelClient app;
        QVERIFY(runTunnel(tunnel, app));
        const QList<qint64> engines = childProcesses(tunnel.process().processId());
        QCOMPARE(engines.size(), 1);
        QCOMPARE(::kill(pid_t(engines.first()), SIGKILL), 0);

        const auto errorFrame = app.waitForFrame(ipc::Kind::error, 0);
        QVERIFY(errorFrame);
        const PlatformError error = decodePlatformError(json::parse(errorFrame->payload));
        QCOMPARE(error.description(), QStringLiteral("The proxy engine stopped: the engine was killed"));
        const auto status = app.waitForFrame(ipc::Kind::status, 0);
        QVERIFY(status);
        QCOMPARE(TunnelClient::statusOf(*status), disconnected);
        QVERIFY(tunnel.waitForExit());
        QCOMPARE(tunnel.process().exitCode(), 1);
        QFile lastError(tunnel.lastErrorPath());
        QVERIFY(lastError.open(QIODevice::ReadOnly));
        QCOMPARE(decodePlatformError(json::parse(lastError.readAll())).description(), error.description());
    }

    // A killed tunnel takes its engine along: an orphan would keep the proxy port and the traffic.
    void killedTunnelLeavesNoEngine()
    {
        TunnelProcess tunnel;
        TunnelClient app;
        QVERIFY(runTunnel(tunnel, app));
        const QList<qint64> engines = childProcesses(tunnel.process().processId());
        QCOMPARE(engines.size(), 1);
        QCOMPARE(::kill(pid_t(tunnel.process().processId()), SIGKILL), 0);
        QVERIFY(tunnel.waitForExit());
        QTRY_VERIFY(!QFile::exists(QStringLiteral("/proc/%1/cmdline").arg(engines.first())));
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

        const auto reply = good.waitForAnswer(good.send(ipc::Kind::hello, R"({"protocol":1})"));
        QVERIFY(reply);
        QCOMPARE(reply->kind, ipc::Kind::helloReply);
        const auto memory = good.ask(TunnelRequests::GetMemoryUsed {});
        QVERIFY(memory && std::holds_alternative<TunnelResults::MemoryUsed>(*memory));
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
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(!QFile::exists(first.lastErrorPath()));

        // The first still owns the socket: old and new connections reach it.
        QVERIFY(app.waitForAnswer(app.send(ipc::Kind::hello, R"({"protocol":1})")));
        TunnelClient later;
        QVERIFY(later.connectTo(first.socketPath()));
        QVERIFY(later.waitForAnswer(later.send(ipc::Kind::hello, R"({"protocol":1})")));
    }

    void staleSocketIsTakenOver()
    {
        TunnelProcess tunnel;
        QVERIFY(QDir().mkpath(tunnel.directory()));
        QVERIFY(makeStaleSocket(tunnel.socketPath()));
        QVERIFY(QFile::exists(tunnel.socketPath()));
        QVERIFY(tunnel.launch());
        TunnelClient app;
        QVERIFY(app.connectTo(tunnel.socketPath()));
        const auto reply = app.waitForAnswer(app.send(ipc::Kind::hello, R"({"protocol":1})"));
        QVERIFY(reply);
        QCOMPARE(reply->kind, ipc::Kind::helloReply);
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }

    void noSocketArgumentIsAUsageError()
    {
        QProcess process;
        process.start(QStringLiteral(WRENLOW_TUNNEL_PATH), QStringList());
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
    }

private:
    // Holds a port the way another program would.
    QTcpServer m_occupied;
};

WRENLOW_TEST(TunnelProgramTest)
#include "tst_tunnelprogram.moc"
