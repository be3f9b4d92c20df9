#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(VPNStatus)
Q_DECLARE_METATYPE(OnlineStatus)
Q_DECLARE_METATYPE(std::optional<GraphData>)

namespace {

// How the fake tunnel treats the one message a row sends.
enum class Reply { bytes, noBytes, never };

QByteArray encoded(const TunnelRequestResult &result)
{
    return encodeTunnelRequestResult(result);
}

QByteArray failure(const QString &reason)
{
    return encoded(TunnelResults::Failure { reason });
}

// A result and the thread its awaiter went on with.
struct Observed {
    QByteArray result;
    QThread *thread = nullptr;
};

QCoro::Task<Observed> observe(QCoro::Task<TunnelRequestResult> request)
{
    const TunnelRequestResult result = co_await request;
    Observed observed;
    observed.result = encoded(result);
    observed.thread = QThread::currentThread();
    co_return observed;
}

QCoro::Task<QString> fetchOutcome(VPNManager &vpn, QUrl url)
{
    QString outcome;
    try {
        const QByteArray data = co_await vpn.fetchSubscription(std::move(url));
        outcome = u"data: "_s + QString::fromUtf8(data);
    } catch (const Error &error) {
        outcome = error.description();
    }
    co_return outcome;
}

} // namespace

Q_DECLARE_METATYPE(Reply)

class TunnelRequestsTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    FakeTunnelConnection *m_connection = nullptr;

    void loadOne(VPNStatus status) { m_connection = &loadSavedTunnel(*m_platform, *m_vpn, status); }

    // A tunnel that will never answer is given up on soon.
    void expect(Reply reply)
    {
        if (reply == Reply::never)
            m_vpn->setRequestTimeout(20ms);
    }

    // Plays the row's part of the tunnel for the message the request has just sent.
    void play(Reply reply, const QByteArray &bytes, bool fromOtherThread = false)
    {
        QCOMPARE(m_connection->messages.size(), 1);
        if (reply != Reply::never)
            m_connection->answer(0, reply == Reply::bytes ? std::optional(bytes) : std::nullopt, fromOtherThread);
    }

private Q_SLOTS:
    void init()
    {
        m_platform = std::make_unique<FakeTunnelPlatform>();
        m_vpn = std::make_unique<VPNManager>(*m_platform, [] { return AppSettings {}; });
        m_connection = nullptr;
    }

    void cleanup()
    {
        m_vpn.reset();
        m_platform.reset();
    }

    void doTunnelRequest_data()
    {
        QTest::addColumn<bool>("profile");
        QTest::addColumn<QString>("sendFailure");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("result");
        const QByteArray memory = encoded(TunnelResults::MemoryUsed { 5'000'000'000 });
        QTest::newRow("no profile") << false << QString() << Reply::never << QByteArray()
                                    << failure(u"No tunnel provider configured"_s);
        QTest::newRow("send fails") << true << u"broken pipe"_s << Reply::never << QByteArray()
                                    << failure(u"Error sending request: broken pipe"_s);
        QTest::newRow("no data") << true << QString() << Reply::noBytes << QByteArray()
                                 << failure(u"No data returned"_s);
        QTest::newRow("not JSON") << true << QString() << Reply::bytes << "garbage"_ba
                                  << failure(u"Failed to decode data"_s);
        QTest::newRow("two cases at once")
            << true << QString() << Reply::bytes << "{\"success\":{},\"failure\":{\"reason\":\"x\"}}"_ba
            << failure(u"Failed to decode data"_s);
        QTest::newRow("any result as it came") << true << QString() << Reply::bytes << memory << memory;
        QTest::newRow("never answered") << true << QString() << Reply::never << QByteArray()
                                        << failure(u"The tunnel did not answer in time"_s);
    }

    void doTunnelRequest()
    {
        QFETCH(bool, profile);
        QFETCH(QString, sendFailure);
        QFETCH(Reply, reply);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, result);
        if (profile)
            loadOne(VPNStatus::connected);
        if (!sendFailure.isEmpty()) {
            m_connection->sendFailure = sendFailure;
            expectLog(QtCriticalMsg, u"Error getting status from TunnelProvider: "_s + sendFailure);
        }

        expect(reply);
        auto request = observe(m_vpn->doTunnelRequest(TunnelRequests::GetMemoryUsed {}));
        if (profile && sendFailure.isEmpty()) {
            play(reply, answer, true);
            QCOMPARE(m_connection->messages.first().bytes, encodeTunnelRequest(TunnelRequests::GetMemoryUsed {}));
        }
        // Answered on the tunnel's thread, the request still goes on on ours.
        const Observed observed = QCoro::waitFor(std::move(request));
        QCOMPARE(observed.result, result);
        QCOMPARE(observed.thread, QThread::currentThread());
    }

    void lateAnswerIsIgnored()
    {
        loadOne(VPNStatus::connected);
        m_vpn->setRequestTimeout(20ms);
        QCOMPARE(encoded(QCoro::waitFor(m_vpn->doTunnelRequest(TunnelRequests::CheckCurrentStatus {}))),
            failure(u"The tunnel did not answer in time"_s));

        // The first answer arrives while the second request waits; only the second's counts.
        m_vpn->setRequestTimeout(30s);
        auto second = m_vpn->doTunnelRequest(TunnelRequests::CheckCurrentStatus {});
        m_connection->answer(0, encoded(TunnelResults::MemoryUsed { 1 }), true);
        m_connection->answer(1, encoded(TunnelResults::OnlineStatusResult { OnlineStatus::online }));
        QCOMPARE(encoded(QCoro::waitFor(std::move(second))),
            encoded(TunnelResults::OnlineStatusResult { OnlineStatus::online }));

        // An answer that comes after the manager is gone must find nothing to resume.
        m_vpn->setRequestTimeout(20ms);
        QVERIFY(!QCoro::waitFor(m_vpn->getGraphData()));
        m_vpn.reset();
        m_connection->answer(2, encodeGraphData(1, 2, {}), true);
        settle();
    }

    void fetchSubscription_data()
    {
        QTest::addColumn<bool>("profile");
        QTest::addColumn<QString>("sendFailure");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("no profile")
            << false << QString() << Reply::never << QByteArray()
            << u"No VPN profile installed. This operation is possible only when VPN profile is installed"_s;
        QTest::newRow("send fails") << true << u"broken pipe"_s << Reply::never << QByteArray() << u"broken pipe"_s;
        QTest::newRow("no data") << true << QString() << Reply::noBytes << QByteArray() << u"No data received"_s;
        QTest::newRow("undecodable") << true << QString() << Reply::bytes << "{}"_ba
                                     << QString::fromLatin1(json::oneKeyMessage);
        QTest::newRow("content") << true << QString() << Reply::bytes
                                 << encoded(TunnelResults::FetchSubscription { "ss://a\nss://b"_ba })
                                 << u"data: ss://a\nss://b"_s;
        QTest::newRow("tunnel's reason") << true << QString() << Reply::bytes << failure(u"HTTP 404"_s)
                                         << u"HTTP 404"_s;
        QTest::newRow("success is no content")
            << true << QString() << Reply::bytes << encoded(TunnelResults::Success {}) << u"Invalid response"_s;
        QTest::newRow("never answered") << true << QString() << Reply::never << QByteArray()
                                        << u"The tunnel did not answer in time"_s;
    }

    void fetchSubscription()
    {
        QFETCH(bool, profile);
        QFETCH(QString, sendFailure);
        QFETCH(Reply, reply);
        QFETCH(QByteArray, answer);
        QFETCH(QString, outcome);
        if (profile)
            loadOne(VPNStatus::connected);
        if (!sendFailure.isEmpty())
            m_connection->sendFailure = sendFailure;
        const QUrl url(u"https://sub.example/list?token=a%20b"_s);

        expect(reply);
        auto fetch = fetchOutcome(*m_vpn, url);
        if (profile && sendFailure.isEmpty()) {
            play(reply, answer);
            QVERIFY(decodeTunnelRequest(m_connection->messages.first().bytes)
                == TunnelRequest(TunnelRequests::FetchSubscription { url }));
        }
        QCOMPARE(QCoro::waitFor(std::move(fetch)), outcome);
    }

    void getGraphData_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QString>("sendFailure");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<std::optional<GraphData>>("graph");
        const qint64 big = 5'000'000'000;
        QTest::newRow("connecting: none, nothing sent")
            << VPNStatus::connecting << QString() << Reply::never << QByteArray() << std::optional<GraphData>();
        QTest::newRow("counters only") << VPNStatus::connected << QString() << Reply::bytes
                                       << encodeGraphData(big, 7, {}) << std::optional(GraphData { 0, {}, big, 7 });
        QTest::newRow("three bars and two spare bytes")
            << VPNStatus::connected << QString() << Reply::bytes << encodeGraphData(1, big, "abcdefghijklmn"_ba)
            << std::optional(GraphData { 3, "abcdefghijklmn"_ba, 1, big });
        QTest::newRow("no data: an empty graph")
            << VPNStatus::connected << QString() << Reply::noBytes << QByteArray() << std::optional(GraphData {});
        QTest::newRow("send fails") << VPNStatus::connected << u"broken pipe"_s << Reply::never << QByteArray()
                                    << std::optional<GraphData>();
        QTest::newRow("shorter than the counters")
            << VPNStatus::connected << QString() << Reply::bytes << QByteArray(15, 'x') << std::optional<GraphData>();
        QTest::newRow("never answered") << VPNStatus::connected << QString() << Reply::never << QByteArray()
                                        << std::optional<GraphData>();
    }

    void getGraphData()
    {
        QFETCH(VPNStatus, status);
        QFETCH(QString, sendFailure);
        QFETCH(Reply, reply);
        QFETCH(QByteArray, answer);
        QFETCH(std::optional<GraphData>, graph);
        loadOne(status);
        if (!sendFailure.isEmpty()) {
            m_connection->sendFailure = sendFailure;
            expectLog(QtCriticalMsg, u"Error getting status from TunnelProvider: "_s + sendFailure);
        }
        if (reply == Reply::noBytes)
            expectLog(QtCriticalMsg, u"Error decoding online status: no data received"_s);

        expect(reply);
        auto request = m_vpn->getGraphData();
        if (status == VPNStatus::connected && sendFailure.isEmpty())
            play(reply, answer);
        else
            QVERIFY(m_connection->messages.isEmpty());
        QCOMPARE(QCoro::waitFor(std::move(request)), graph);
    }

    void checkCurrentStatus_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<OnlineStatus>("online");
        QTest::newRow("connecting: unknown, nothing sent")
            << VPNStatus::connecting << QByteArray() << OnlineStatus::unknown;
        QTest::newRow("online") << VPNStatus::connected
                                << encoded(TunnelResults::OnlineStatusResult { OnlineStatus::online })
                                << OnlineStatus::online;
        QTest::newRow("offline") << VPNStatus::connected
                                 << encoded(TunnelResults::OnlineStatusResult { OnlineStatus::offline })
                                 << OnlineStatus::offline;
        QTest::newRow("memory answer") << VPNStatus::connected << encoded(TunnelResults::MemoryUsed { 1 })
                                       << OnlineStatus::unknown;
        QTest::newRow("failure") << VPNStatus::connected << failure(u"x"_s) << OnlineStatus::unknown;
    }

    void checkCurrentStatus()
    {
        QFETCH(VPNStatus, status);
        QFETCH(QByteArray, answer);
        QFETCH(OnlineStatus, online);
        loadOne(status);
        auto check = m_vpn->checkCurrentStatus();
        if (status == VPNStatus::connected) {
            play(Reply::bytes, answer);
            QVERIFY(decodeTunnelRequest(m_connection->messages.first().bytes)
                == TunnelRequest(TunnelRequests::CheckCurrentStatus {}));
        } else {
            QVERIFY(m_connection->messages.isEmpty());
        }
        QCOMPARE(QCoro::waitFor(std::move(check)), online);
    }

    void checkStatus_data()
    {
        QTest::addColumn<bool>("profile");
        QTest::addColumn<QString>("saveFailure");
        QTest::addColumn<OnlineStatus>("online");
        QTest::newRow("no profile: installed first") << false << QString() << OnlineStatus::online;
        QTest::newRow("profile in place: left alone") << true << QString() << OnlineStatus::offline;
        QTest::newRow("install fails: unknown, nothing sent") << false << u"disk full"_s << OnlineStatus::unknown;
    }

    void checkStatus()
    {
        QFETCH(bool, profile);
        QFETCH(QString, saveFailure);
        QFETCH(OnlineStatus, online);
        if (profile)
            loadOne(VPNStatus::connected);
        if (!saveFailure.isEmpty())
            m_platform->saveScript.failure = saveFailure;
        const auto server = makeTestServer(u"Faro"_s);

        auto check = m_vpn->checkStatus(server);
        QCOMPARE(m_platform->saves.size(), profile ? 0 : 1);
        if (!profile)
            m_connection = &m_platform->made.first()->fakeConnection;
        if (saveFailure.isEmpty()) {
            play(Reply::bytes, encoded(TunnelResults::OnlineStatusResult { online }));
            QVERIFY(decodeTunnelRequest(m_connection->messages.first().bytes)
                == TunnelRequest(TunnelRequests::CheckStatus { server->settings() }));
        } else {
            QVERIFY(m_connection->messages.isEmpty());
        }
        QCOMPARE(QCoro::waitFor(std::move(check)), online);
    }
};

WRENLOW_TEST(TunnelRequestsTest)
#include "tst_tunnelrequests.moc"
