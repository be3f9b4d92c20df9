// Every request the application sends, answered by the real program over its socket.
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelharness.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace tunneltest;

namespace {

std::optional<OnlineStatus> statusIn(const std::optional<TunnelRequestResult> &result)
{
    if (!result)
        return std::nullopt;
    if (const auto *online = std::get_if<TunnelResults::OnlineStatusResult>(&*result))
        return online->status;
    return std::nullopt;
}

QString reasonIn(const std::optional<TunnelRequestResult> &result)
{
    if (!result)
        return QStringLiteral("<no answer>");
    if (const auto *failure = std::get_if<TunnelResults::Failure>(&*result))
        return failure->reason;
    return QStringLiteral("<not a failure>");
}

bool isSuccess(const std::optional<TunnelRequestResult> &result)
{
    return result && std::holds_alternative<TunnelResults::Success>(*result);
}

} // namespace

class TunnelRequestsTest : public QObject {
    Q_OBJECT

private:
    // A real Shadowsocks server: the status check and downloads go through it.
    peers::ProxyPeer m_server;
    CannedHttpServer m_http;
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
        QVERIFY(m_http.listen());
        qputenv("WRENLOW_CHECK_URL", m_http.url(QStringLiteral("/generate_204")).toUtf8());
        m_tunnel = std::make_unique<TunnelProcess>();
        QVERIFY(m_tunnel->launch());
        m_app = std::make_unique<TunnelClient>();
        QVERIFY(m_app->connectTo(m_tunnel->socketPath()));
        const auto started = m_app->waitForAnswer(m_app->send(ipc::Kind::start, providerPayload(current())));
        QVERIFY(started);
        QCOMPARE(TunnelClient::statusOf(*started), 3);
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

    void checkStatusOfListeningServerIsOnline()
    {
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckStatus {
                     backendFor(QStringLiteral("127.0.0.1"), m_server.port()).serverSettings })),
            OnlineStatus::online);
        // A host name, resolved without blocking the tunnel.
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckStatus {
                     backendFor(QStringLiteral("localhost"), m_server.port()).serverSettings })),
            OnlineStatus::online);
    }

    void checkStatusOfClosedPortIsOffline()
    {
        const quint16 port = closedPort();
        QVERIFY(port != 0);
        QCOMPARE(statusIn(m_app->ask(
                     TunnelRequests::CheckStatus { backendFor(QStringLiteral("127.0.0.1"), port).serverSettings })),
            OnlineStatus::offline);
        QCOMPARE(statusIn(m_app->ask(
                     TunnelRequests::CheckStatus { backendFor(QStringLiteral("127.0.0.1"), 0).serverSettings })),
            OnlineStatus::offline);
    }

    void checkCurrentStatusUsesTheRunningServer()
    {
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::online);
    }

    void fetchSubscriptionReturnsTheBody()
    {
        for (const QString &path : { QStringLiteral("/subscription"), QStringLiteral("/redirect") }) {
            const auto result = m_app->ask(TunnelRequests::FetchSubscription { QUrl(m_http.url(path)) });
            QVERIFY(result);
            const auto *fetched = std::get_if<TunnelResults::FetchSubscription>(&*result);
            QVERIFY2(fetched, qPrintable(reasonIn(result)));
            QCOMPARE(fetched->data, CannedHttpServer::body());
        }
    }

    void fetchSubscriptionFailuresSayWhy()
    {
        QCOMPARE(
            reasonIn(m_app->ask(TunnelRequests::FetchSubscription { QUrl(m_http.url(QStringLiteral("/missing"))) })),
            QStringLiteral("Download failed: HTTP 404 Not Found"));
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::FetchSubscription { QUrl(m_http.url(QStringLiteral("/huge"))) })),
            QStringLiteral("Download failed: the content is larger than 50 MB"));
        const QUrl refused(QStringLiteral("http://127.0.0.1:%1/subscription").arg(closedPort()));
        // Through the engine, an unreachable site is the proxy's 503.
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::FetchSubscription { refused })),
            QStringLiteral("Download failed: HTTP 503 Service Unavailable"));
        QCOMPARE(
            reasonIn(m_app->ask(TunnelRequests::FetchSubscription { QUrl(QStringLiteral("ftp://127.0.0.1/list")) })),
            QStringLiteral(R"(Download failed: unsupported URL scheme "ftp")"));
    }

    void graphDataIsTheRawBuffer()
    {
        const auto answer = m_app->waitForAnswer(m_app->sendRequest(TunnelRequests::GetGraphData {}));
        QVERIFY(answer);
        QCOMPARE(answer->kind, ipc::Kind::response);
        QCOMPARE(answer->payload.size(), 16 + 240);
        const auto graph = decodeGraphData(answer->payload);
        QVERIFY(graph);
        QCOMPARE(graph->received, 0);
        QCOMPARE(graph->sent, 0);
        QCOMPARE(graph->dataSize, 60);
        QCOMPARE(graph->graphData, QByteArray(240, '\0'));
    }

    void memoryUsedIsTheResidentSize()
    {
        const auto result = m_app->ask(TunnelRequests::GetMemoryUsed {});
        QVERIFY(result);
        const auto *memory = std::get_if<TunnelResults::MemoryUsed>(&*result);
        QVERIFY(memory);
        QVERIFY(memory->amount > 1024 * 1024);
        QVERIFY(memory->amount < qint64(4) * 1024 * 1024 * 1024);
    }

    void changeKeepsAValidConfiguration()
    {
        const quint16 port = closedPort();
        QVERIFY(isSuccess(m_app->ask(TunnelRequests::Change { backendFor(QStringLiteral("127.0.0.1"), port) })));
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
        if (!QStandardPaths::findExecutable(QStringLiteral("xray")).isEmpty())
            QSKIP("xray is installed here, so REALITY can run");
        const QList<qint64> engines = childProcesses(m_tunnel->process().processId());
        QCOMPARE(engines.size(), 1);
        BackendConfiguration reality = current();
        reality.serverSettings = realityServer(QStringLiteral("127.0.0.1"), m_server.port());
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::Change { reality })),
            QStringLiteral("Cannot change the configuration: the server uses REALITY, which the v2ray engine does not "
                           "support; install xray to use it"));
        QCOMPARE(childProcesses(m_tunnel->process().processId()), engines);
        QCOMPARE(statusIn(m_app->ask(TunnelRequests::CheckCurrentStatus {})), OnlineStatus::online);
    }

    // A change overtaken by the next one is dropped with its engine; when the next one is refused,
    // the configuration in use comes back.
    void overtakenChangeLeavesTheCurrentConfiguration()
    {
        if (!QStandardPaths::findExecutable(QStringLiteral("xray")).isEmpty())
            QSKIP("xray is installed here, so REALITY can run");
        BackendConfiguration elsewhere = current();
        elsewhere.serverSettings = backendFor(QStringLiteral("127.0.0.1"), closedPort()).serverSettings;
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

    void changeNetworkSettingsChecksThePort()
    {
        NetworkSettings network = loopbackSettings().network;
        QVERIFY(isSuccess(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })));
        network.httpProxyPort = 0;
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })),
            QStringLiteral("Cannot change the network settings: the HTTP proxy port 0 is out of range"));
        // A port another program holds is found only once the engine has stopped; the previous
        // settings come back.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost));
        network.httpProxyPort = holder.serverPort();
        QCOMPARE(reasonIn(m_app->ask(TunnelRequests::ChangeNetworkSettings { network })),
            QStringLiteral("Cannot change the network settings: the HTTP proxy port %1 is already in use by another "
                           "program")
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
        QTest::newRow("garbage") << QByteArray("\x01garbage{")
                                 << QStringLiteral("Invalid request: The data is not valid JSON");
        QTest::newRow("unknown case") << QByteArray(R"({"reboot":{}})")
                                      << QStringLiteral("Invalid request: Invalid number of keys found, expected one.");
        QTest::newRow("two cases") << QByteArray(R"({"getGraphData":{},"getMemoryUsed":{}})")
                                   << QStringLiteral("Invalid request: Invalid number of keys found, expected one.");
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
        const TunnelRequestResult result = decodeTunnelRequestResult(answer->payload);
        QVERIFY(std::holds_alternative<TunnelResults::Failure>(result));
        const QString text = std::get<TunnelResults::Failure>(result).reason;
        QVERIFY2(text.startsWith(reason), qPrintable(text));
    }

    // The bound on attempts in flight is the point: thousands of checks, one answer each, from a
    // tunnel allowed far fewer file descriptors than checks.
    void thousandsOfConcurrentChecksAllAnswered()
    {
        constexpr int count = 2000;
        constexpr int fileLimit = 160;
        TunnelProcess tunnel;
        QVERIFY(tunnel.launch(fileLimit));
        TunnelClient client;
        QVERIFY(client.connectTo(tunnel.socketPath()));
        QVERIFY(client.waitForAnswer(client.send(ipc::Kind::start, providerPayload(current()))));
        const ServerSettings server = current().serverSettings;
        QElapsedTimer clock;
        clock.start();
        QList<quint32> ids;
        for (int i = 0; i < count; ++i)
            ids.append(client.sendRequest(TunnelRequests::CheckStatus { server }));
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
        qInfo("%d checks answered in %lld ms, at most %d descriptors open", count, qint64(clock.elapsed()), mostOpen);
    }

    void answersToAVanishedConnectionAreDropped()
    {
        {
            TunnelClient client;
            QVERIFY(client.connectTo(m_tunnel->socketPath()));
            client.sendRequest(TunnelRequests::FetchSubscription { QUrl(m_http.url(QStringLiteral("/subscription"))) });
            for (int i = 0; i < 50; ++i)
                client.sendRequest(TunnelRequests::CheckStatus { current().serverSettings });
        }
        QTest::qWait(200);
        QCOMPARE(m_tunnel->process().state(), QProcess::Running);
        QVERIFY(m_app->ask(TunnelRequests::GetMemoryUsed {}));
    }
};

// Requests to a tunnel that has had no start.
class TunnelBeforeStartTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
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

WRENLOW_TEST(TunnelRequestsTest)
WRENLOW_TEST(TunnelBeforeStartTest)
#include "tst_tunnelrequests.moc"
