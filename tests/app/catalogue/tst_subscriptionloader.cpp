#include "app/catalogue/subscriptionloader.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "loadoutcome.h"
#include "testregistry.h"
#include "testsettings.h"

#include "core/catalogue/proxyuriparser.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray twoServers = "vless://u@h:1#a\nss://aes-128-gcm:pw@example.com:8388#b\n";

// An address nobody listens on.
QString closedPortUrl()
{
    return u"http://127.0.0.1:%1/sub"_s.arg(freePort());
}

} // namespace

class SubscriptionLoaderTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_http;
    std::unique_ptr<FakeTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    std::unique_ptr<SubscriptionLoader> m_loader;
    std::shared_ptr<std::vector<QCoro::Task<>>> m_running = std::make_shared<std::vector<QCoro::Task<>>>();

    std::shared_ptr<LoadOutcome> start(const QString &url)
    {
        auto outcome = std::make_shared<LoadOutcome>();
        m_running->push_back(recordLoad(m_loader->load(url), outcome));
        return outcome;
    }

    // The tunnel as the platform reports it when the program starts.
    FakeTunnelConnection &tunnel(VPNStatus status) { return loadSavedTunnel(*m_platform, *m_vpn, status); }

private Q_SLOTS:
    void init()
    {
        m_http = std::make_unique<TestHttpServer>();
        QVERIFY(m_http->start());
        m_http->route("/silent", TestHttpServer::Response { 200, {}, {}, -1, true });
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
        QTRY_VERIFY(std::all_of(m_running->begin(), m_running->end(), [](auto &task) { return task.isReady(); }));
        m_running->clear();
        m_loader.reset();
        m_vpn.reset();
        m_platform.reset();
    }

    void body_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("error");
        QTest::newRow("plain lines") << twoServers << QStringList { u"a"_s, u"b"_s } << QString();
        QTest::newRow("base64") << twoServers.toBase64() << QStringList { u"a"_s, u"b"_s } << QString();
        QTest::newRow("no servers") << QByteArray("hello\nworld\n") << QStringList()
                                    << u"No servers found in the provided subscription URL"_s;
        QTest::newRow("empty body") << QByteArray() << QStringList() << u"No data received"_s;
        QTest::newRow("not utf-8") << QByteArray("ss://\xff\xfe") << QStringList()
                                   << u"The subscription content could not be decoded."_s;
    }

    void body()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, names);
        QFETCH(QString, error);
        m_http->route("/sub", body);
        const auto outcome = start(m_http->url(u"/sub"_s).toString());
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, error);
        QCOMPARE(outcome->names, names);
        QVERIFY(outcome->onCallerThread);
    }

    // However long a body takes to decode, the GUI keeps turning meanwhile.
    void decodingLeavesTheEventLoopFree()
    {
        QByteArray body;
        for (int i = 0; i < 100000; ++i)
            body += "vless://u@h:1#" + QByteArray::number(i) + '\n';
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(parseSubscriptionBody(QString::fromLatin1(body)).size(), 100000);
        const qint64 decodeMs = clock.elapsed();

        m_http->route("/big", body);
        qint64 longestGap = 0;
        QElapsedTimer sinceTick;
        QTimer ticker;
        ticker.setInterval(2);
        connect(&ticker, &QTimer::timeout, this, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
        sinceTick.start();
        ticker.start();
        const auto outcome = start(m_http->url(u"/big"_s).toString());
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 60000);
        ticker.stop();
        QCOMPARE(outcome->names.size(), 100000);
        QVERIFY(outcome->onCallerThread);
        qInfo("decoding took %lld ms; longest stall while loading %lld ms", decodeMs, longestGap);
        QVERIFY(longestGap < decodeMs / 2);
    }

    void badUrl_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("empty") << QString();
        QTest::newRow("no host") << u"https://"_s;
        QTest::newRow("space in host") << u"ex ample.com/sub"_s;
    }

    void badUrl()
    {
        QFETCH(QString, url);
        const auto outcome = start(url);
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, u"The subscription URL \"%1\" is not valid"_s.arg(url));
    }

    void schemeLessUrlIsFetchedOverHttps()
    {
        const auto outcome = start(u"127.0.0.1:%1/sub"_s.arg(m_http->port()));
        QTRY_VERIFY(outcome->done);
        QVERIFY2(m_http->requests().size() == 1, qPrintable(outcome->error));
        QCOMPARE(m_http->requests().first().target, QByteArray("TLS")); // a TLS client hello, not "GET"
        QVERIFY(!outcome->error.isEmpty());
    }

    void stalledDownloadTimesOut()
    {
        setSubscriptionTimeout(300ms);
        const auto outcome = start(m_http->url(u"/silent"_s).toString());
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, u"The subscription download timed out"_s);
    }

    void refusedWhileInactiveDoesNotAskTunnel()
    {
        auto &connection = tunnel(VPNStatus::disconnected);
        const auto outcome = start(closedPortUrl());
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, u"The server 127.0.0.1 refused the connection"_s);
        QCOMPARE(connection.messages.size(), 0);
    }

    void tunnelFallback_data()
    {
        QTest::addColumn<bool>("emptyBody");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("error");
        const QByteArray content = encodeTunnelRequestResult(TunnelResults::FetchSubscription { twoServers });
        const QByteArray failure = encodeTunnelRequestResult(TunnelResults::Failure { u"blocked"_s });
        QTest::newRow("refused, tunnel answers") << false << content << QStringList { u"a"_s, u"b"_s } << QString();
        QTest::newRow("empty, tunnel answers") << true << content << QStringList { u"a"_s, u"b"_s } << QString();
        QTest::newRow("refused, tunnel fails")
            << false << failure << QStringList() << u"The server 127.0.0.1 refused the connection"_s;
        QTest::newRow("empty, tunnel fails") << true << failure << QStringList() << u"No data received"_s;
    }

    void tunnelFallback()
    {
        QFETCH(bool, emptyBody);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, names);
        QFETCH(QString, error);
        auto &connection = tunnel(VPNStatus::connected);
        m_http->route("/empty", QByteArray());
        const QString url = emptyBody ? m_http->url(u"/empty"_s).toString() : closedPortUrl();
        const auto outcome = start(url);
        QTRY_COMPARE(connection.messages.size(), 1);
        QVERIFY(connection.messages.first().bytes.contains(url.toUtf8()));
        connection.answer(0, answer);
        QTRY_VERIFY(outcome->done);
        QCOMPARE(outcome->error, error);
        QCOMPARE(outcome->names, names);
    }
};

WRENLOW_TEST(SubscriptionLoaderTest)
#include "tst_subscriptionloader.moc"
