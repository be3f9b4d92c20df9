#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QTest>
#include <QThread>

#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(NetworkSettings)
Q_DECLARE_METATYPE(VPNStatus)
Q_DECLARE_METATYPE(OnlineStatus)

namespace {

const OnDemandConnectRule anyInterface { 0 };

QString text(const ErrorPtr &error)
{
    return error ? error->description() : QString();
}

} // namespace

class VPNManagerTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeTunnelPlatform> m_platform;
    AppSettings m_settings;
    std::unique_ptr<VPNManager> m_vpn;

    // The manager keeps the profile and the tunnel as the user asked; its requests are in TunnelRequestsTest.
    // A manager that has loaded one saved profile whose tunnel is in `status`.
    FakeTunnelConnection &loadOne(VPNStatus status) { return loadSavedTunnel(*m_platform, *m_vpn, status); }

    void drive(FakeTunnelConnection &connection, const QList<VPNStatus> &statuses)
    {
        for (const VPNStatus status : statuses) {
            connection.setStatus(status);
            settle();
        }
    }

private Q_SLOTS:
    void init()
    {
        m_platform = std::make_unique<FakeTunnelPlatform>();
        m_settings = AppSettings {};
        m_vpn = std::make_unique<VPNManager>(*m_platform, [this] { return m_settings; });
    }

    void cleanup()
    {
        m_vpn.reset();
        m_platform.reset();
    }

    void profileContents_data()
    {
        QTest::addColumn<ServerSettings>("serverSettings");
        QTest::addColumn<NetworkSettings>("network");
        QTest::addColumn<QString>("serverAddress");
        QTest::newRow("shadowsocks, default switches") << ServerSettings(ShadowsockSettings {
            QStringLiteral("ss.example"), 8388, ShadowsocksCipher::chacha20Poly1305, QStringLiteral("pw") })
                                                       << NetworkSettings {} << QStringLiteral("ss.example:8388");
        VLESSSettings vless;
        vless.address = QStringLiteral("10.0.0.7");
        vless.port = 443;
        vless.userId = QStringLiteral("id");
        QTest::newRow("vless, every switch flipped")
            << ServerSettings(vless) << NetworkSettings { false, true, false, 3128 } << QStringLiteral("10.0.0.7:443");
    }

    void profileContents()
    {
        QFETCH(ServerSettings, serverSettings);
        QFETCH(NetworkSettings, network);
        QFETCH(QString, serverAddress);
        m_settings.network = network;
        m_settings.dns.address = { QStringLiteral("9.9.9.9") };

        QCOMPARE(failureOf(m_vpn->enableVPN(makeTestServer(QStringLiteral("Tokyo"), serverSettings))), QString());

        QCOMPARE(m_platform->saves.size(), 1);
        const SavedProfile &saved = m_platform->saves.first();
        QCOMPARE(saved.localizedDescription, QStringLiteral("Tokyo"));
        QVERIFY(saved.isEnabled);
        QVERIFY(!saved.isOnDemandEnabled);
        QVERIFY(saved.protocolConfiguration);
        const TunnelProtocol &protocol = *saved.protocolConfiguration;
        QVERIFY(!protocol.disconnectOnSleep);
        QCOMPARE(protocol.serverAddress, serverAddress);
        const ProviderConfiguration &provider = protocol.providerConfiguration;
        QCOMPARE(decodeBackendConfiguration(json::parse(provider.backend.toUtf8())),
            (BackendConfiguration { serverSettings, m_settings }));
        QCOMPARE(provider.remoteAddress, serverAddress.section(u':', 0, 0));
        QCOMPARE(provider.isTransparentProxy, network.transparentProxy);
        QCOMPARE(provider.isHTTPProxy, network.httpProxy);
        QCOMPARE(provider.isSystemProxy, network.systemProxy);
        QCOMPARE(provider.httpProxyPort, network.httpProxyPort);
        // The new profile was saved first, then started.
        QCOMPARE(m_platform->made.size(), 1);
        QCOMPARE(m_platform->made.first()->fakeConnection.starts, 1);
    }

    void writesDuringSaveAreQueued_data()
    {
        QTest::addColumn<int>("failingSave");
        // What the callers writing A, B and C are told.
        QTest::addColumn<QStringList>("failures");
        QTest::addColumn<QStringList>("savedInOrder");
        QTest::addColumn<int>("starts");
        const QString full = u"disk full"_s;
        QTest::newRow("all saves succeed")
            << -1 << QStringList { {}, {}, {} } << QStringList { u"A"_s, u"B"_s, u"C"_s, u"D"_s } << 1;
        // What waited behind a failed write is dropped, and its callers learn that.
        QTest::newRow("first save fails")
            << 0 << QStringList { full, full, full } << QStringList { u"A"_s, u"D"_s } << 0;
        // The connect whose save ran the queue is not told of a later write's failure.
        QTest::newRow("a queued save fails")
            << 1 << QStringList { QString(), full, full } << QStringList { u"A"_s, u"B"_s, u"D"_s } << 1;
    }

    void writesDuringSaveAreQueued()
    {
        QFETCH(int, failingSave);
        QFETCH(QStringList, failures);
        QFETCH(QStringList, savedInOrder);
        QFETCH(int, starts);
        FakeTunnelConnection &connection = loadOne(VPNStatus::disconnected);
        m_platform->saveScript.hold = true;

        std::vector<QCoro::Task<>> writes;
        writes.push_back(m_vpn->enableVPN(makeTestServer(u"A"_s)));
        QVERIFY(m_vpn->isUpdating());
        // Queued behind the held save.
        writes.push_back(m_vpn->changeServer(makeTestServer(u"B"_s), m_settings));
        writes.push_back(m_vpn->changeServer(makeTestServer(u"C"_s), m_settings));
        QCOMPARE(m_platform->saves.size(), 1);

        if (failingSave >= 0)
            expectLog(QtCriticalMsg, u"VPN Manager: Error saving VPN to preferences: disk full"_s);
        // Each release lets one save finish; the next queued write then holds in its own save.
        do {
            const bool fails = m_platform->saves.size() - 1 == failingSave;
            m_platform->saveScript.failure = fails ? std::optional(u"disk full"_s) : std::nullopt;
        } while (m_platform->releaseHeld());
        QStringList told;
        for (auto &write : writes)
            told.append(failureOf(std::move(write)));
        QCOMPARE(told, failures);
        QVERIFY(!m_vpn->isUpdating());
        QCOMPARE(connection.starts, starts);

        // Nothing is left in the queue and nothing is in the way of the next write.
        m_platform->saveScript = {};
        QCOMPARE(failureOf(m_vpn->changeServer(makeTestServer(u"D"_s), m_settings)), QString());
        QCOMPARE(m_platform->savedDescriptions(), savedInOrder);
    }

    void enableVPN_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QString>("startFailure");
        QTest::addColumn<int>("starts");
        QTest::newRow("disconnected: starts") << VPNStatus::disconnected << QString() << 1;
        QTest::newRow("connected: profile only") << VPNStatus::connected << QString() << 0;
        QTest::newRow("connecting: profile only") << VPNStatus::connecting << QString() << 0;
        QTest::newRow("start refused") << VPNStatus::disconnected << u"not permitted"_s << 1;
    }

    void enableVPN()
    {
        QFETCH(VPNStatus, status);
        QFETCH(QString, startFailure);
        QFETCH(int, starts);
        FakeTunnelConnection &connection = loadOne(status);
        if (!startFailure.isEmpty()) {
            connection.startFailure = startFailure;
            expectLog(QtCriticalMsg, u"Error starting VPN tunnel: "_s + startFailure);
        }
        QCOMPARE(failureOf(m_vpn->enableVPN(makeTestServer(u"Oslo"_s))), startFailure);
        QCOMPARE(m_platform->savedDescriptions(), QStringList { u"Oslo"_s });
        QCOMPARE(connection.starts, starts);
    }

    void disableVPN_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<int>("stops");
        QTest::newRow("disconnected: saved, not stopped") << VPNStatus::disconnected << 0;
        QTest::newRow("connected: saved, then stopped") << VPNStatus::connected << 1;
        QTest::newRow("connecting: saved, then stopped") << VPNStatus::connecting << 1;
    }

    void disableVPN()
    {
        QFETCH(VPNStatus, status);
        QFETCH(int, stops);
        FakeTunnelConnection &connection = loadOne(status);
        m_platform->stored.first()->isOnDemandEnabled = true;
        m_platform->saveScript.hold = true;

        auto disable = m_vpn->disableVPN();
        // On-demand must be off on disk before the stop, or it would start the tunnel again.
        QCOMPARE(connection.stops, 0);
        QTest::ignoreMessage(QtInfoMsg, "Disabling VPN...");
        QVERIFY(m_platform->releaseHeld());
        QCOMPARE(failureOf(std::move(disable)), QString());
        QCOMPARE(m_platform->saves.size(), 1);
        QVERIFY(!m_platform->saves.first().isOnDemandEnabled);
        QCOMPARE(connection.stops, stops);
    }

    void onDemandFollowsConnect()
    {
        FakeTunnelConnection &connection = loadOne(VPNStatus::disconnected);
        QCOMPARE(failureOf(m_vpn->enableVPN(makeTestServer(u"Lima"_s))), QString());
        drive(connection, { VPNStatus::connecting });
        QCOMPARE(m_platform->saves.size(), 1);

        QTest::ignoreMessage(QtDebugMsg, "VPN Manager: Enabling on-demand...");
        drive(connection, { VPNStatus::connected });
        QCOMPARE(m_platform->saves.size(), 2);
        QVERIFY(m_platform->saves.last().isOnDemandEnabled);
        QCOMPARE(m_platform->saves.last().onDemandRules, QList { anyInterface });

        // Switched off, the rules stay for the next connect.
        QCOMPARE(failureOf(m_vpn->disableVPN()), QString());
        QVERIFY(!m_platform->saves.last().isOnDemandEnabled);
        QCOMPARE(m_platform->saves.last().onDemandRules, QList { anyInterface });
        QCOMPARE(connection.stops, 1);
    }

    void failedConnectSetsLastError_data()
    {
        QTest::addColumn<QList<VPNStatus>>("statuses");
        QTest::addColumn<QString>("domain"); // empty: no last disconnect error
        QTest::addColumn<QString>("userInfoDescription"); // null: no "description" entry
        QTest::addColumn<QString>("earlierError");
        QTest::addColumn<QString>("lastError");
        const QList<VPNStatus> failed { VPNStatus::connecting, VPNStatus::disconnected };
        const auto tunnelDomain = u"Wrenlow.TunnelProviderError"_s;
        QTest::newRow("tunnel's reason, exactly")
            << failed << tunnelDomain << u"Cannot start tunnel: x"_s << QString() << u"Cannot start tunnel: x"_s;
        QTest::newRow("tunnel error without text keeps the earlier one")
            << failed << tunnelDomain << QString() << u"earlier"_s << u"earlier"_s;
        QTest::newRow("platform error as it is")
            << failed << u"NEVPNErrorDomain"_s << QString() << QString() << u"localized text"_s;
        QTest::newRow("no error") << failed << QString() << QString() << QString() << QString();
        QTest::newRow("user disconnect after connected")
            << QList { VPNStatus::connecting, VPNStatus::connected, VPNStatus::disconnecting, VPNStatus::disconnected }
            << tunnelDomain << u"Cannot start tunnel: x"_s << QString() << QString();
    }

    void failedConnectSetsLastError()
    {
        QFETCH(QList<VPNStatus>, statuses);
        QFETCH(QString, domain);
        QFETCH(QString, userInfoDescription);
        QFETCH(QString, earlierError);
        QFETCH(QString, lastError);
        FakeTunnelConnection &connection = loadOne(VPNStatus::disconnected);
        const auto server = makeTestServer(u"Rome"_s);
        if (!earlierError.isEmpty()) {
            connection.lastDisconnectError
                = PlatformError(TunnelProviderError(TunnelProviderError::Code::custom, earlierError));
            QCOMPARE(failureOf(m_vpn->enableVPN(server)), QString());
            drive(connection, { VPNStatus::connecting, VPNStatus::disconnected });
            QCOMPARE(text(m_vpn->lastError()), earlierError);
        }
        connection.lastDisconnectError.reset();
        if (!domain.isEmpty()) {
            connection.lastDisconnectError = PlatformError(domain, 1,
                userInfoDescription.isNull() ? std::nullopt : std::optional(userInfoDescription), u"localized text"_s);
        }

        QCOMPARE(failureOf(m_vpn->enableVPN(server)), QString());
        drive(connection, statuses);
        QCOMPARE(m_vpn->status(), VPNStatus::disconnected);
        QCOMPARE(text(m_vpn->lastError()), lastError);
        m_vpn->clearLastError();
        QVERIFY(!m_vpn->lastError());
    }

    void restartTunnel_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<bool>("restarts");
        QTest::newRow("connected: saved, stopped, started again") << VPNStatus::connected << true;
        QTest::newRow("connecting: nothing") << VPNStatus::connecting << false;
        QTest::newRow("disconnected: nothing") << VPNStatus::disconnected << false;
    }

    void restartTunnel()
    {
        QFETCH(VPNStatus, status);
        QFETCH(bool, restarts);
        FakeTunnelConnection &connection = loadOne(status);
        QCOMPARE(failureOf(m_vpn->restartTunnel(makeTestServer(u"Kyiv"_s), m_settings)), QString());
        QCOMPARE(m_platform->saves.size(), restarts ? 1 : 0);
        QCOMPARE(connection.stops, restarts ? 1 : 0);
        QCOMPARE(connection.starts, 0);
        drive(connection, { VPNStatus::disconnected });
        QCOMPARE(connection.starts, restarts ? 1 : 0);
    }

    void statusChanges_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QString>("logText");
        QTest::addColumn<bool>("inProgress");
        QTest::newRow("connecting") << VPNStatus::connecting << u"Connecting..."_s << true;
        QTest::newRow("connected") << VPNStatus::connected << u"Connected"_s << false;
        QTest::newRow("disconnecting") << VPNStatus::disconnecting << u"Disconnecting..."_s << true;
        QTest::newRow("invalid") << VPNStatus::invalid << u"Not connected"_s << false;
    }

    void statusChanges()
    {
        QFETCH(VPNStatus, status);
        QFETCH(QString, logText);
        QFETCH(bool, inProgress);
        FakeTunnelConnection &connection = loadOne(VPNStatus::disconnected);
        QStringList seen;
        // Ends the connections with this function: the manager outlives it.
        QObject scope;
        QObject::connect(m_vpn.get(), &VPNManager::statusChanged, &scope, [&] { seen << u"status"_s; });
        QObject::connect(m_vpn.get(), &VPNManager::isInProgressChanged, &scope, [&] {
            // Observers of isInProgress already find the new status.
            QCOMPARE(m_vpn->status(), status);
            seen << u"isInProgress"_s;
        });

        expectLog(QtDebugMsg, u"VPN Manager: Status changed: "_s + logText);
        drive(connection, { status });
        QCOMPARE(m_vpn->status(), status);
        QCOMPARE(m_vpn->isInProgress(), inProgress);
        const QStringList expected
            = inProgress ? QStringList { u"status"_s, u"isInProgress"_s } : QStringList { u"status"_s };
        QCOMPARE(seen, expected);

        drive(connection, { status });
        QCOMPARE(seen.size(), inProgress ? 2 : 1);
    }

    void statusFromAnotherThread()
    {
        FakeTunnelConnection &connection = loadOne(VPNStatus::disconnected);
        QThread *handledOn = nullptr;
        QObject scope;
        QObject::connect(
            m_vpn.get(), &VPNManager::statusChanged, &scope, [&] { handledOn = QThread::currentThread(); },
            Qt::DirectConnection);
        connection.currentStatus = VPNStatus::connecting;
        connection.notifyFromOtherThread();
        QTRY_COMPARE(m_vpn->status(), VPNStatus::connecting);
        QCOMPARE(handledOn, QThread::currentThread());
    }

    void loadManager_data()
    {
        QTest::addColumn<int>("profiles");
        QTest::addColumn<QString>("loadFailure");
        QTest::addColumn<bool>("autoconnect");
        QTest::addColumn<QString>("saveFailure");
        QTest::addColumn<QString>("logText");
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<int>("starts");
        QTest::newRow("none saved") << 0 << QString() << false << QString() << u"Managers count: 0"_s
                                    << VPNStatus::invalid << 0;
        // The first saved profile is disconnected, the second connected.
        QTest::newRow("two saved: first used")
            << 2 << QString() << false << QString() << u"Managers count: 2"_s << VPNStatus::disconnected << 0;
        QTest::newRow("load fails") << 1 << u"no access"_s << false << QString()
                                    << u"Error initializing VPNManager: no access"_s << VPNStatus::invalid << 0;
        QTest::newRow("autoconnect") << 1 << QString() << true << QString() << u"Managers count: 1"_s
                                     << VPNStatus::disconnected << 1;
        QTest::newRow("autoconnect, new profile")
            << 0 << QString() << true << QString() << u"Managers count: 0"_s << VPNStatus::disconnected << 1;
        QTest::newRow("autoconnect fails, kept")
            << 1 << QString() << true << u"disk full"_s << u"Error initializing VPNManager: disk full"_s
            << VPNStatus::disconnected << 0;
    }

    void loadManager()
    {
        QFETCH(int, profiles);
        QFETCH(QString, loadFailure);
        QFETCH(bool, autoconnect);
        QFETCH(QString, saveFailure);
        QFETCH(QString, logText);
        QFETCH(VPNStatus, status);
        QFETCH(int, starts);
        for (int i = 0; i < profiles; ++i)
            m_platform->addSavedProfile(i == 0 ? VPNStatus::disconnected : VPNStatus::connected);
        if (!loadFailure.isEmpty())
            m_platform->loadAllFailure = loadFailure;
        if (!saveFailure.isEmpty())
            m_platform->saveScript.failure = saveFailure;
        const auto server = makeTestServer(u"Quito"_s);
        if (autoconnect)
            m_vpn->setAutoconnect(server);

        expectLog(logText.startsWith(u"Error"_s) ? QtCriticalMsg : QtDebugMsg, logText);
        QCoro::waitFor(m_vpn->loadManager());
        QCOMPARE(m_vpn->status(), status);
        QCOMPARE(m_platform->startsEverywhere(), starts);
        QCOMPARE(m_vpn->autoconnect(), autoconnect && starts == 0 ? server : nullptr);
    }

    void resetConfiguration_data()
    {
        QTest::addColumn<QString>("removeFailure");
        QTest::newRow("removed") << QString();
        QTest::newRow("removal fails") << u"in use"_s;
    }

    void resetConfiguration()
    {
        QFETCH(QString, removeFailure);
        FakeTunnelConnection &connection = loadOne(VPNStatus::connected);
        if (!removeFailure.isEmpty()) {
            m_platform->removeScript.failure = removeFailure;
            expectLog(QtCriticalMsg, u"Cannot remove from preferences: "_s + removeFailure);
        }
        QCOMPARE(failureOf(m_vpn->resetConfiguration()), removeFailure);
        QCOMPARE(m_platform->removes, removeFailure.isEmpty() ? 1 : 0);

        // Without a profile its connection is no longer heard, and the next connect makes a new one.
        drive(connection, { VPNStatus::disconnecting });
        QCOMPARE(m_vpn->status(), removeFailure.isEmpty() ? VPNStatus::connected : VPNStatus::disconnecting);
        QCOMPARE(failureOf(m_vpn->enableVPN(makeTestServer(u"Bern"_s))), QString());
        QCOMPARE(m_platform->made.size(), removeFailure.isEmpty() ? 1 : 0);
    }

    void changeWhileRunning_data()
    {
        QTest::addColumn<bool>("network");
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("error");
        const QByteArray success = encodeTunnelRequestResult(TunnelResults::Success {});
        const QByteArray refused = encodeTunnelRequestResult(TunnelResults::Failure { u"unsupported cipher"_s });
        QTest::newRow("server, accepted") << false << VPNStatus::connected << success << QString();
        QTest::newRow("server, refused") << false << VPNStatus::connected << refused << u"unsupported cipher"_s;
        QTest::newRow("network, accepted") << true << VPNStatus::connected << success << QString();
        QTest::newRow("network, refused") << true << VPNStatus::connected << refused << u"unsupported cipher"_s;
        QTest::newRow("server, disconnected: profile only")
            << false << VPNStatus::disconnected << QByteArray() << QString();
    }

    void changeWhileRunning()
    {
        QFETCH(bool, network);
        QFETCH(VPNStatus, status);
        QFETCH(QByteArray, answer);
        QFETCH(QString, error);
        FakeTunnelConnection &connection = loadOne(status);
        m_settings.network.httpProxyPort = 3128;
        const auto server = makeTestServer(u"Baku"_s);

        auto change
            = network ? m_vpn->changeNetworkSettings(server, m_settings) : m_vpn->changeServer(server, m_settings);
        if (status != VPNStatus::disconnected) {
            QCOMPARE(connection.messages.size(), 1);
            const TunnelRequest expected = network
                ? TunnelRequest(TunnelRequests::ChangeNetworkSettings { m_settings.network })
                : TunnelRequest(TunnelRequests::Change { BackendConfiguration { server->settings(), m_settings } });
            QVERIFY(decodeTunnelRequest(connection.messages.first().bytes) == expected);
            connection.answer(0, answer.isEmpty() ? std::nullopt : std::optional(answer));
        }
        QCOMPARE(failureOf(std::move(change)), error);
        // A change the tunnel refused stays out of the profile.
        QCOMPARE(m_platform->savedDescriptions(), error.isEmpty() ? QStringList(u"Baku"_s) : QStringList());
    }
};

WRENLOW_TEST(VPNManagerTest)

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
#include "tst_vpnmanager.moc"
