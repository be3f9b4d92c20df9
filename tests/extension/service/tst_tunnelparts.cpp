// The tunnel program's parts, in-process: counters, checks, downloads, the last error, orphans.
#include "httpserver.h"
#include "testregistry.h"
#include "tunnelharness.h"

#include "core/tunnel/tunnelprovidererror.h"
#include "service/lasterror.h"
#include "service/memoryusage.h"
#include "service/startconfiguration.h"
#include "service/statuschecker.h"
#include "service/subscriptionfetcher.h"
#include "service/trafficcounters.h"
#include "service/tunnelserver.h"
#include "service/tunnelservice.h"

#include <memory>
#include <vector>

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace tunneltest;

class TunnelPartsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void trafficCountersScaleToTheBusiestSecond()
    {
        TrafficCounters counters;
        QCOMPARE(counters.graphBytes(), QByteArray(240, '\0'));
        counters.addReceived(1000);
        counters.addSent(10);
        counters.sample();
        counters.addReceived(500);
        counters.sample();
        QCOMPARE(counters.receiveSpeed(), 500);
        QCOMPARE(counters.sendSpeed(), 0);
        const QByteArray bytes = counters.graphBytes();
        QCOMPARE(bytes.size(), 4 * TrafficCounters::barsPerSeries);
        const int n = TrafficCounters::barsPerSeries;
        // Newest first: receive values 5 then 10, send value 0 then 10.
        QCOMPARE(int(bytes.at(2 * n)), 5);
        QCOMPARE(int(bytes.at(2 * n + 1)), 10);
        QCOMPARE(int(bytes.at(n)), 10);
        QCOMPARE(int(bytes.at(3 * n)), 0);
        QCOMPARE(int(bytes.at(3 * n + 1)), 10);
        QCOMPARE(int(bytes.at(0)), 0);
        QCOMPARE(int(bytes.at(1)), 10);
        QCOMPARE(int(bytes.at(2 * n + 2)), 0);
    }

    void statusCheckerBoundsAttemptsInFlight()
    {
        TestHttpServer server;
        QVERIFY(server.start());
        StatusChecker checker(nullptr, 4);
        int answered = 0;
        int online = 0;
        for (int i = 0; i < 50; ++i) {
            checker.check(QStringLiteral("127.0.0.1"), server.port(), [&](OnlineStatus status) {
                ++answered;
                online += status == OnlineStatus::online;
                QVERIFY(checker.inFlight() <= 4);
            });
        }
        QCOMPARE(checker.inFlight(), 4);
        QCOMPARE(checker.queued(), 46);
        QVERIFY(QTest::qWaitFor([&] { return answered == 50; }, 10000));
        QCOMPARE(online, 50);
        QCOMPARE(checker.inFlight(), 0);
    }

    void statusCheckerReachesEveryFormOfAddress_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("ipv6");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1") << false;
        QTest::newRow("host name") << QStringLiteral("localhost") << false;
        QTest::newRow("IPv6") << QStringLiteral("::1") << true;
        QTest::newRow("IPv6 in brackets") << QStringLiteral("[::1]") << true;
    }

    void statusCheckerReachesEveryFormOfAddress()
    {
        QFETCH(QString, host);
        QFETCH(bool, ipv6);
        QTcpServer server;
        QVERIFY(server.listen(ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
        StatusChecker checker;
        std::optional<OnlineStatus> result;
        checker.check(host, server.serverPort(), [&](OnlineStatus status) { result = status; });
        QVERIFY(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        QCOMPARE(*result, OnlineStatus::online);
    }

    void statusCheckerTimesOut()
    {
        // A server whose accept queue is full drops further connection attempts unanswered.
        QTcpServer full;
        full.setListenBacklogSize(1);
        QVERIFY(full.listen(QHostAddress::LocalHost));
        full.pauseAccepting();
        std::vector<std::unique_ptr<QTcpSocket>> fillers;
        for (int i = 0; i < 4; ++i) {
            fillers.push_back(std::make_unique<QTcpSocket>());
            fillers.back()->connectToHost(QHostAddress::LocalHost, full.serverPort());
        }
        QTest::qWait(100);

        StatusChecker checker(nullptr, 4, std::chrono::milliseconds(300));
        std::optional<OnlineStatus> result;
        QElapsedTimer clock;
        clock.start();
        checker.check(QStringLiteral("127.0.0.1"), full.serverPort(), [&](OnlineStatus status) { result = status; });
        QVERIFY(QTest::qWaitFor([&] { return result.has_value(); }, 5000));
        QCOMPARE(*result, OnlineStatus::offline);
        QVERIFY2(clock.elapsed() >= 250, "answered before the time-out");
        QCOMPARE(checker.inFlight(), 0);
    }

    void fetcherFailuresSayWhy_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QByteArray("/missing") << QStringLiteral("Download failed: HTTP 404 Not Found");
        QTest::newRow("over the cap") << QByteArray("/list")
                                      << QStringLiteral("Download failed: the content is larger than 10 bytes");
        QTest::newRow("announced over the cap")
            << QByteArray("/huge") << QStringLiteral("Download failed: the content is larger than 10 bytes");
        QTest::newRow("silent") << QByteArray("/silent")
                                << QStringLiteral("Download failed: no data received for 0.3 seconds");
        QTest::newRow("other scheme") << QByteArray()
                                      << QStringLiteral(R"(Download failed: unsupported URL scheme "ftp")");
    }

    void fetcherFailuresSayWhy()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, reason);
        TestHttpServer http;
        QVERIFY(http.start());
        http.route("/list", "ss://a@h:1#one\nss://a@h:2#two\n");
        http.route("/huge", TestHttpServer::Response { 200, {}, {}, 60000000 });
        http.route("/silent", TestHttpServer::Response { 200, {}, {}, -1, true });
        SubscriptionFetcher fetcher(nullptr, std::chrono::milliseconds(300), 10);
        // Shared with the handler, which may outlive this function if the fetch never ends.
        auto outcome = std::make_shared<std::optional<SubscriptionFetcher::Outcome>>();
        fetcher.fetch(
            path.isEmpty() ? QUrl(QStringLiteral("ftp://127.0.0.1/list")) : http.url(QString::fromLatin1(path)),
            [outcome](SubscriptionFetcher::Outcome o) { *outcome = std::move(o); });
        QVERIFY(QTest::qWaitFor([&] { return outcome->has_value(); }, 10000));
        QVERIFY(std::holds_alternative<QString>(**outcome));
        QCOMPARE(std::get<QString>(**outcome), reason);
    }

    // The default cap's answer, Base64 in JSON, fits one frame.
    void fetcherCapFitsAFrame()
    {
        const qint64 cap = SubscriptionFetcher::defaultMaximumSize();
        QCOMPARE(cap, 50000000);
        const qint64 wrapper
            = encodeTunnelRequestResult(TunnelResults::FetchSubscription { QByteArray("abc") }).size() - 4;
        QVERIFY(wrapper + (cap + 2) / 3 * 4 <= qint64(ipc::maximumPayload));
    }

    void startConfigurationNamesTheWrongEntry()
    {
        Json j = providerConfiguration(backendFor(QStringLiteral("127.0.0.1"), 8388));
        j["httpProxyPort"] = "8080";
        try {
            readStartConfiguration(json::serialize(j));
            QFAIL("accepted");
        } catch (const TunnelProviderError &error) {
            QCOMPARE(error.code(), TunnelProviderError::Code::startBackend);
            QCOMPARE(error.description(),
                QStringLiteral(
                    R"(Cannot start tunnel: the provider configuration entry "httpProxyPort" is not an integer)"));
        }
        QVERIFY(!backendProblem(backendFor(QStringLiteral("h"), 65535)));
        QCOMPARE(backendProblem(backendFor(QStringLiteral("h"), 65536)),
            std::optional<QString>(QStringLiteral("the server port 65536 is out of range")));
    }

    void orphanEndsWhenNobodyIsConnected()
    {
        QTemporaryDir dir;
        const QString socketPath = dir.filePath(QStringLiteral("tunnel.sock"));
        TunnelService service;
        TunnelServer server(socketPath, &service, nullptr, std::chrono::milliseconds(200));
        QSignalSpy finished(&server, &TunnelServer::finished);
        QVERIFY(server.listen());

        // Someone connected keeps it waiting past the time-out.
        auto client = std::make_unique<QLocalSocket>();
        client->connectToServer(socketPath);
        QVERIFY(client->waitForConnected(2000));
        QTest::qWait(400);
        QCOMPARE(finished.count(), 0);
        client.reset();
        QVERIFY(finished.wait(2000));
        QCOMPARE(finished.first().first().toInt(), 0);
        QVERIFY(!QFile::exists(socketPath));
    }

    void startedTunnelIsNoOrphan()
    {
        QTemporaryDir dir;
        const QString socketPath = dir.filePath(QStringLiteral("tunnel.sock"));
        TunnelService service;
        TunnelServer server(socketPath, &service, nullptr, std::chrono::milliseconds(200));
        QSignalSpy finished(&server, &TunnelServer::finished);
        QSignalSpy configured(&service, &TunnelService::configurationChanged);
        QVERIFY(server.listen());
        {
            TunnelClient app;
            QVERIFY(app.connectTo(socketPath));
            QVERIFY(app.waitForAnswer(
                app.send(ipc::Kind::start, providerPayload(backendFor(QStringLiteral("127.0.0.1"), 8388)))));
        }
        QTest::qWait(500);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(configured.count(), 1);
        QCOMPARE(server.status(), VPNStatus::connected);
        QVERIFY(service.configuration());
        QCOMPARE(port(service.configuration()->serverSettings), 8388);
    }
};

WRENLOW_TEST(TunnelPartsTest)
#include "tst_tunnelparts.moc"
