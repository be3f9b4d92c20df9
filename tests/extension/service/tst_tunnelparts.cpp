// The tunnel program's parts, in-process: counters, checks, downloads, orphans.
#include "httpserver.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelharness.h"

#include "service/statuschecker.h"
#include "service/subscriptionfetcher.h"
#include "service/trafficcounters.h"
#include "service/tunnelserver.h"
#include "service/tunnelservice.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tunneltest;
using namespace Qt::StringLiterals;

class TunnelPartsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void trafficCountersScaleToTheBusiestSecond()
    {
        TrafficCounters counters;
        counters.addReceived(1000);
        counters.addSent(10);
        counters.sample();
        counters.addReceived(500);
        counters.sample();
        QCOMPARE(counters.receiveSpeed(), 500);
        QCOMPARE(counters.sendSpeed(), 0);
        // Send and receive backgrounds (the busiest second, 10), then receive and send values, newest first.
        const QByteArray bytes = counters.graphBytes();
        const int n = TrafficCounters::barsPerSeries;
        QCOMPARE(bytes.size(), 4 * n);
        const QList<int> seen { bytes[0], bytes[1], bytes[n], bytes[2 * n], bytes[2 * n + 1], bytes[2 * n + 2],
            bytes[3 * n], bytes[3 * n + 1] };
        QCOMPARE(seen, (QList<int> { 0, 10, 10, 5, 10, 0, 0, 10 }));
    }

    // The port -1 is the listening server's; a full accept queue drops further attempts unanswered,
    // so that the time-out ends them.
    void statusCheckerAnswers_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<qint64>("port");
        QTest::addColumn<bool>("full");
        QTest::addColumn<OnlineStatus>("status");
        QTest::newRow("host name") << u"localhost"_s << qint64(-1) << false << OnlineStatus::online;
        QTest::newRow("IPv6") << u"::1"_s << qint64(-1) << false << OnlineStatus::online;
        QTest::newRow("IPv6 in brackets") << u"[::1]"_s << qint64(-1) << false << OnlineStatus::online;
        QTest::newRow("no answer") << u"127.0.0.1"_s << qint64(-1) << true << OnlineStatus::offline;
        QTest::newRow("refused") << u"127.0.0.1"_s << qint64(freePort()) << false << OnlineStatus::offline;
        QTest::newRow("port 0") << u"127.0.0.1"_s << qint64(0) << false << OnlineStatus::offline;
        QTest::newRow("port 65536") << u"127.0.0.1"_s << qint64(65536) << false << OnlineStatus::offline;
        QTest::newRow("blank host") << u" "_s << qint64(-1) << false << OnlineStatus::offline;
    }

    void statusCheckerAnswers()
    {
        QFETCH(QString, host);
        QFETCH(qint64, port);
        QFETCH(bool, full);
        QFETCH(OnlineStatus, status);
        QTcpServer server;
        server.setListenBacklogSize(1);
        QVERIFY(server.listen(host.contains(u':') ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
        std::vector<std::unique_ptr<QTcpSocket>> fillers;
        if (full) {
            server.pauseAccepting();
            for (int i = 0; i < 4; ++i) {
                fillers.push_back(std::make_unique<QTcpSocket>());
                fillers.back()->connectToHost(QHostAddress::LocalHost, server.serverPort());
            }
            QTest::qWait(100);
        }
        std::optional<OnlineStatus> result;
        // Declared after the result: pending handlers go with it.
        StatusChecker checker(nullptr, 4, std::chrono::milliseconds(300));
        checker.check(host, port < 0 ? server.serverPort() : port, [&](OnlineStatus online) { result = online; });
        QVERIFY(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        QCOMPARE(*result, status);
        QCOMPARE(checker.inFlight(), 0);
    }

    void fetcherFailuresSayWhy_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "/missing"_ba << u"Download failed: HTTP 404 Not Found"_s;
        QTest::newRow("over the cap") << "/list"_ba << u"Download failed: the content is larger than 10 bytes"_s;
        QTest::newRow("announced over the cap")
            << "/huge"_ba << u"Download failed: the content is larger than 10 bytes"_s;
        QTest::newRow("silent") << "/silent"_ba << u"Download failed: no data received for 0.3 seconds"_s;
        QTest::newRow("other scheme") << QByteArray() << uR"(Download failed: unsupported URL scheme "ftp")"_s;
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
        // Shared with the handler, which may outlive this function if the fetch never ends.
        auto outcome = std::make_shared<std::optional<SubscriptionFetcher::Outcome>>();
        SubscriptionFetcher fetcher(nullptr, std::chrono::milliseconds(300), 10);
        fetcher.fetch(path.isEmpty() ? QUrl(u"ftp://127.0.0.1/list"_s) : http.url(QString::fromLatin1(path)),
            [outcome](SubscriptionFetcher::Outcome o) { *outcome = std::move(o); });
        QVERIFY(QTest::qWaitFor([&] { return outcome->has_value(); }, 10000));
        QVERIFY(std::holds_alternative<QString>(**outcome));
        QCOMPARE(std::get<QString>(**outcome), reason);
    }

    // A tunnel nobody started ends once its last client has gone; a started one stays.
    void orphanEndsWhenNobodyIsConnected_data()
    {
        QTest::addColumn<bool>("started");
        QTest::newRow("never started") << false;
        QTest::newRow("started") << true;
    }

    void orphanEndsWhenNobodyIsConnected()
    {
        QFETCH(bool, started);
        QTemporaryDir dir;
        const QString socketPath = dir.filePath(u"tunnel.sock"_s);
        TunnelService service;
        TunnelServer server(socketPath, &service, nullptr, std::chrono::milliseconds(200));
        QSignalSpy finished(&server, &TunnelServer::finished);
        QVERIFY(server.listen());
        {
            // Someone connected keeps it waiting past the time-out.
            TunnelClient app;
            QVERIFY(app.connectTo(socketPath));
            if (started)
                QCOMPARE(app.start(providerPayload(backendFor(u"127.0.0.1"_s, 8388))), 3);
            QTest::qWait(400);
            QCOMPARE(finished.count(), 0);
        }
        QCOMPARE(finished.wait(1000), !started);
        QCOMPARE(server.status(), started ? VPNStatus::connected : VPNStatus::connecting);
        if (!started) {
            QCOMPARE(finished.first().first().toInt(), 0);
            QVERIFY(!QFile::exists(socketPath));
        }
    }
};

WRENLOW_TEST(TunnelPartsTest)
#include "tst_tunnelparts.moc"
