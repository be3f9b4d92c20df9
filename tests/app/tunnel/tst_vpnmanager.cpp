#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QTest>

#include <tuple>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QString text(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes);
}
QByteArray encoded(const TunnelRequestResult &result)
{
    return encodeTunnelRequestResult(result);
}
QByteArray failure(const QString &reason)
{
    return encoded(TunnelResults::Failure { reason });
}

// What the caller of each kind of request is given, as text.
QCoro::Task<QString> outcomeOf(VPNManager &vpn, QString request, QUrl url)
{
    if (request == u"memory")
        co_return text(encoded(co_await vpn.doTunnelRequest(TunnelRequests::GetMemoryUsed {})));
    if (request == u"online")
        co_return QString::number(int(co_await vpn.checkCurrentStatus()));
    if (request == u"graph") {
        const std::optional<GraphData> graph = co_await vpn.getGraphData();
        co_return graph ? u"%1 bars, %2, %3 in, %4 out"_s.arg(graph->dataSize)
                              .arg(text(graph->graphData))
                              .arg(graph->received)
                              .arg(graph->sent)
                        : u"none"_s;
    }
    try {
        co_return u"data: "_s + text(co_await vpn.fetchSubscription(std::move(url)));
    } catch (const Error &error) {
        co_return error.description();
    }
}

} // namespace

class VPNManagerTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeTunnelPlatform> m_platform;
    AppSettings m_settings;
    std::unique_ptr<VPNManager> m_vpn;
    FakeTunnelConnection *m_connection = nullptr;

    // One row of a table: action, tunnel status, start failure, saved, stops, starts.
    using UserAction = std::tuple<QString, VPNStatus, QString, bool, int, int>;
    // Statuses; domain (empty: no last disconnect error); its "description" entry (null: none); an
    // earlier error; the last error that results.
    using FailedConnect = std::tuple<QList<VPNStatus>, QString, QString, QString, QString>;
    // Profiles saved, load failure, autoconnect, save failure, log text, status, starts.
    using LoadCase = std::tuple<int, QString, bool, QString, QString, VPNStatus, int>;
    // Request, tunnel status (invalid: no profile), answer, log, outcome.
    using Request = std::tuple<QString, VPNStatus, QByteArray, QString, QString>;
    // Status, its log text, whether it is in progress.
    using StatusChange = std::tuple<VPNStatus, QString, bool>;
    using QueuedWrites = std::tuple<int, QStringList, QStringList, int>;
    using Change = std::tuple<bool, VPNStatus, QByteArray, QString>;
    using StatusCheck = std::tuple<bool, QString, OnlineStatus>;

    QString lastErrorText() const { return m_vpn->lastError() ? m_vpn->lastError()->description() : QString(); }

    // A manager that has loaded one saved profile whose tunnel is in `status`.
    FakeTunnelConnection &loadOne(VPNStatus status)
    {
        return *(m_connection = &loadSavedTunnel(*m_platform, *m_vpn, status));
    }

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
        m_connection = nullptr;
    }

    void cleanup()
    {
        m_vpn.reset();
        m_platform.reset();
    }

    // Every switch is flipped from its default; the defaults reach the real tunnel, which refuses a
    // profile whose switches or address disagree with its backend, in the tunnel integration test.
    void profileContents()
    {
        VLESSSettings vless;
        vless.address = u"10.0.0.7"_s;
        vless.port = 443;
        vless.userId = u"id"_s;
        const ServerSettings serverSettings = vless;
        const NetworkSettings network { false, true, false, 3128 };
        m_settings.network = network;
        m_settings.dns.address = { u"9.9.9.9"_s };

        QCOMPARE(failureOf(m_vpn->enableVPN(makeTestServer(u"Tokyo"_s, serverSettings))), QString());

        QCOMPARE(m_platform->saves.size(), 1);
        const SavedProfile &saved = m_platform->saves.first();
        QCOMPARE(saved.localizedDescription, u"Tokyo"_s);
        QVERIFY(saved.isEnabled && !saved.isOnDemandEnabled && saved.protocolConfiguration);
        // The backend configuration is compared decoded: its text may order its entries either way.
        const QString backend = saved.protocolConfiguration->providerConfiguration.backend;
        QCOMPARE(decodeBackendConfiguration(json::parse(backend.toUtf8())),
            (BackendConfiguration { serverSettings, m_settings }));
        QVERIFY(*saved.protocolConfiguration
            == (TunnelProtocol { false, u"10.0.0.7:443"_s,
                ProviderConfiguration { backend, u"10.0.0.7"_s, network.transparentProxy, network.httpProxy,
                    network.systemProxy, network.httpProxyPort } }));
        // The new profile was saved first, then started.
        QCOMPARE(m_platform->startsEverywhere(), 1);
    }

    void writesDuringSaveAreQueued_data()
    {
        // The failing save (-1: none), what the callers writing A, B and C are told, what was saved, starts.
        QTest::addColumn<QueuedWrites>("row");
        const QString full = u"disk full"_s;
        QTest::newRow("all saves succeed") << QueuedWrites { -1, QStringList(3), u"A B C D"_s.split(u' '), 1 };
        // What waited behind a failed write is dropped, and its callers learn that.
        QTest::newRow("first save fails")
            << QueuedWrites { 0, QStringList { full, full, full }, u"A D"_s.split(u' '), 0 };
        // The connect whose save ran the queue is not told of a later write's failure.
        QTest::newRow("a queued save fails")
            << QueuedWrites { 1, QStringList { {}, full, full }, u"A B D"_s.split(u' '), 1 };
    }

    void writesDuringSaveAreQueued()
    {
        QFETCH(QueuedWrites, row);
        const auto &[failingSave, failures, savedInOrder, starts] = row;
        FakeTunnelConnection &connection = loadOne(VPNStatus::disconnected);
        m_platform->saveScript.hold = true;

        std::vector<QCoro::Task<>> writes;
        writes.push_back(m_vpn->enableVPN(makeTestServer(u"A"_s)));
        QVERIFY(m_vpn->isUpdating());
        // Queued behind the held save.
        for (const QString &name : { u"B"_s, u"C"_s })
            writes.push_back(m_vpn->changeServer(makeTestServer(name), m_settings));
        QCOMPARE(m_platform->saves.size(), 1);

        if (failingSave >= 0)
            expectLog(QtCriticalMsg, u"VPN Manager: Error saving VPN to preferences: disk full"_s);
        // Each release lets one save finish; the next queued write then holds in its own save.
        do {
            m_platform->saveScript.failure
                = m_platform->saves.size() - 1 == failingSave ? std::optional(u"disk full"_s) : std::nullopt;
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

    // Nothing reaches the tunnel before the profile is on disk: with on-demand still on it would
    // start again, and a start would run the old profile.
    void userActions_data()
    {
        // Starts are counted once the tunnel has reported itself disconnected.
        QTest::addColumn<UserAction>("row");
        const auto row = [](const char *name, VPNStatus status, bool saved, int stops, int starts,
                             const QString &startFailure = {}) {
            QTest::newRow(name) << UserAction { QString::fromLatin1(name).section(u',', 0, 0), status, startFailure,
                saved, stops, starts };
        };
        row("enable, disconnected: starts", VPNStatus::disconnected, true, 0, 1);
        row("enable, connected: profile only", VPNStatus::connected, true, 0, 0);
        row("enable, start refused", VPNStatus::disconnected, true, 0, 1, u"not permitted"_s);
        row("disable, disconnected: saved only", VPNStatus::disconnected, true, 0, 0);
        row("disable, connected: saved, stopped", VPNStatus::connected, true, 1, 0);
        row("restart, connected: saved, stopped, started", VPNStatus::connected, true, 1, 1);
        row("restart, connecting: nothing", VPNStatus::connecting, false, 0, 0);
    }

    void userActions()
    {
        QFETCH(UserAction, row);
        const auto &[action, status, startFailure, saved, stops, starts] = row;
        FakeTunnelConnection &connection = loadOne(status);
        m_platform->stored.first()->isOnDemandEnabled = true;
        m_platform->saveScript.hold = true;
        if (!startFailure.isEmpty()) {
            connection.startFailure = startFailure;
            expectLog(QtCriticalMsg, u"Error starting VPN tunnel: "_s + startFailure);
        }
        if (action == u"disable")
            expectLog(QtInfoMsg, u"Disabling VPN..."_s);
        const auto server = makeTestServer(u"Oslo"_s);
        auto task = action == u"enable" ? m_vpn->enableVPN(server)
            : action == u"disable"      ? m_vpn->disableVPN()
                                        : m_vpn->restartTunnel(server, m_settings);
        QCOMPARE(connection.stops + connection.starts, 0);
        while (m_platform->releaseHeld()) { }
        QCOMPARE(failureOf(std::move(task)), startFailure);
        QCOMPARE(m_platform->saves.size(), saved ? 1 : 0);
        if (action == u"disable")
            QVERIFY(!m_platform->saves.first().isOnDemandEnabled);
        else if (saved)
            QCOMPARE(m_platform->saves.first().localizedDescription, u"Oslo"_s);
        QCOMPARE(connection.stops, stops);
        drive(connection, { VPNStatus::disconnected });
        QCOMPARE(connection.starts, starts);
    }

    void failedConnectSetsLastError_data()
    {
        QTest::addColumn<FailedConnect>("row");
        const QList<VPNStatus> failed { VPNStatus::connecting, VPNStatus::disconnected };
        const auto tunnelDomain = u"Wrenlow.TunnelProviderError"_s;
        const QString reason = u"Cannot start tunnel: x"_s;
        const QString none;
        QTest::newRow("tunnel's reason, exactly") << FailedConnect { failed, tunnelDomain, reason, none, reason };
        QTest::newRow("tunnel error without text keeps the earlier one")
            << FailedConnect { failed, tunnelDomain, none, u"earlier"_s, u"earlier"_s };
        QTest::newRow("platform error as it is")
            << FailedConnect { failed, u"NEVPNErrorDomain"_s, none, none, u"localized text"_s };
        QTest::newRow("no error") << FailedConnect { failed, none, none, none, none };
        QTest::newRow("user disconnect after connected") << FailedConnect {
            QList { VPNStatus::connecting, VPNStatus::connected, VPNStatus::disconnecting, VPNStatus::disconnected },
            tunnelDomain, reason, none, none
        };
    }

    void failedConnectSetsLastError()
    {
        QFETCH(FailedConnect, row);
        const auto &[statuses, domain, userInfoDescription, earlierError, lastError] = row;
        FakeTunnelConnection &connection = loadOne(VPNStatus::disconnected);
        const auto server = makeTestServer(u"Rome"_s);
        if (!earlierError.isEmpty()) {
            connection.lastDisconnectError
                = PlatformError(TunnelProviderError(TunnelProviderError::Code::custom, earlierError));
            QCOMPARE(failureOf(m_vpn->enableVPN(server)), QString());
            drive(connection, { VPNStatus::connecting, VPNStatus::disconnected });
            QCOMPARE(lastErrorText(), earlierError);
        }
        connection.lastDisconnectError.reset();
        if (!domain.isEmpty())
            connection.lastDisconnectError = PlatformError(domain, 1,
                userInfoDescription.isNull() ? std::nullopt : std::optional(userInfoDescription), u"localized text"_s);

        QCOMPARE(failureOf(m_vpn->enableVPN(server)), QString());
        drive(connection, statuses);
        QCOMPARE(m_vpn->status(), VPNStatus::disconnected);
        QCOMPARE(lastErrorText(), lastError);
        // Connect-on-demand is switched on and saved once connected, and only then.
        QCOMPARE(m_platform->saves.last().isOnDemandEnabled, statuses.contains(VPNStatus::connected));
    }

    void statusChanges_data()
    {
        QTest::addColumn<StatusChange>("row");
        for (const auto &[status, logText] :
            { std::pair(VPNStatus::connecting, u"Connecting..."_s), std::pair(VPNStatus::connected, u"Connected"_s),
                std::pair(VPNStatus::disconnecting, u"Disconnecting..."_s),
                std::pair(VPNStatus::invalid, u"Not connected"_s) })
            QTest::newRow(qPrintable(logText)) << StatusChange { status, logText, logText.endsWith(u"..."_s) };
    }

    void statusChanges()
    {
        QFETCH(StatusChange, row);
        const auto &[status, logText, inProgress] = row;
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
        // The same status again is no change.
        drive(connection, { status });
        QCOMPARE(seen, expected);
    }

    void loadManager_data()
    {
        QTest::addColumn<LoadCase>("row");
        const auto row = [](const char *name, int profiles, bool autoconnect, const QString &logText, VPNStatus status,
                             int starts, const QString &loadFailure = {}, const QString &saveFailure = {}) {
            QTest::newRow(name) << LoadCase { profiles, loadFailure, autoconnect, saveFailure, logText, status,
                starts };
        };
        row("none saved", 0, false, u"Managers count: 0"_s, VPNStatus::invalid, 0);
        // The first saved profile is disconnected, the second connected.
        row("two saved: first used", 2, false, u"Managers count: 2"_s, VPNStatus::disconnected, 0);
        row("load fails", 1, false, u"Error initializing VPNManager: no access"_s, VPNStatus::invalid, 0,
            u"no access"_s);
        row("autoconnect", 1, true, u"Managers count: 1"_s, VPNStatus::disconnected, 1);
        row("autoconnect, new profile", 0, true, u"Managers count: 0"_s, VPNStatus::disconnected, 1);
        row("autoconnect fails, kept", 1, true, u"Error initializing VPNManager: disk full"_s, VPNStatus::disconnected,
            0, {}, u"disk full"_s);
    }

    void loadManager()
    {
        QFETCH(LoadCase, row);
        const auto &[profiles, loadFailure, autoconnect, saveFailure, logText, status, starts] = row;
        for (int i = 0; i < profiles; ++i)
            m_platform->addSavedProfile(i == 0 ? VPNStatus::disconnected : VPNStatus::connected);
        if (!loadFailure.isEmpty())
            m_platform->loadAllFailure = loadFailure;
        m_platform->saveScript.failure = saveFailure.isEmpty() ? std::nullopt : std::optional(saveFailure);
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
        QTest::addColumn<Change>("row");
        const QByteArray success = encoded(TunnelResults::Success {});
        QTest::newRow("server, accepted") << Change { false, VPNStatus::connected, success, QString() };
        QTest::newRow("server, refused") << Change { false, VPNStatus::connected, failure(u"unsupported cipher"_s),
            u"unsupported cipher"_s };
        QTest::newRow("network, accepted") << Change { true, VPNStatus::connected, success, QString() };
        QTest::newRow("server, disconnected: profile only")
            << Change { false, VPNStatus::disconnected, QByteArray(), QString() };
    }

    void changeWhileRunning()
    {
        QFETCH(Change, row);
        const auto &[network, status, answer, error] = row;
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
    // Each request over the tunnel's message channel, and what its caller is given for each answer:
    // "!send" the message cannot be sent, "!none" an answer without data, "!never" no answer.
    void requests_data()
    {
        QTest::addColumn<Request>("row");
        const auto on = VPNStatus::connected;
        const QString sendLog = u"Error getting status from TunnelProvider: broken pipe"_s;
        const auto failed = [](const QString &reason) { return text(failure(reason)); };
        // The request is the row name's first word.
        const auto row = [](const char *name, VPNStatus status, const QByteArray &answer, const QString &log,
                             const QString &outcome) {
            QTest::newRow(name) << Request { QString::fromLatin1(name).section(u':', 0, 0), status, answer, log,
                outcome };
        };
        const QString none;
        row("memory: no profile", VPNStatus::invalid, "!never", none, failed(u"No tunnel provider configured"_s));
        row("memory: send fails", on, "!send", sendLog, failed(u"Error sending request: broken pipe"_s));
        row("memory: no data", on, "!none", none, failed(u"No data returned"_s));
        row("memory: not JSON", on, "garbage", none, failed(u"Failed to decode data"_s));
        row("memory: never answered", on, "!never", none, failed(u"The tunnel did not answer in time"_s));
        row("fetch: no profile", VPNStatus::invalid, "!never", none,
            u"No VPN profile installed. This operation is possible only when VPN profile is installed"_s);
        row("fetch: no data", on, "!none", none, u"No data received"_s);
        row("fetch: content", on, encoded(TunnelResults::FetchSubscription { "ss://a\nss://b"_ba }), none,
            u"data: ss://a\nss://b"_s);
        row("fetch: tunnel's reason", on, failure(u"HTTP 404"_s), none, u"HTTP 404"_s);
        row("fetch: success is no content", on, encoded(TunnelResults::Success {}), none, u"Invalid response"_s);
        row("fetch: never answered", on, "!never", none, u"The tunnel did not answer in time"_s);
        row("graph: connecting, nothing sent", VPNStatus::connecting, "!never", none, u"none"_s);
        row("graph: three bars and two spare bytes", on, encodeGraphData(1, 5'000'000'000, "abcdefghijklmn"), none,
            u"3 bars, abcdefghijklmn, 1 in, 5000000000 out"_s);
        row("graph: no data, an empty graph", on, "!none", u"Error decoding online status: no data received"_s,
            u"0 bars, , 0 in, 0 out"_s);
        row("graph: send fails", on, "!send", sendLog, u"none"_s);
        row("graph: never answered", on, "!never", none, u"none"_s);
        row("online: connecting, nothing sent", VPNStatus::connecting, "!never", none, u"0"_s);
        row("online: online", on, encoded(TunnelResults::OnlineStatusResult { OnlineStatus::online }), none, u"1"_s);
        row("online: memory answer", on, encoded(TunnelResults::MemoryUsed { 1 }), none, u"0"_s);
    }

    void requests()
    {
        QFETCH(Request, row);
        const auto &[request, status, answer, log, outcome] = row;
        if (status != VPNStatus::invalid)
            loadOne(status);
        if (answer == "!send")
            m_connection->sendFailure = u"broken pipe"_s;
        if (!log.isEmpty())
            expectLog(QtCriticalMsg, log);
        const QUrl url(u"https://sub.example/list?token=a%20b"_s);
        const std::map<QString, TunnelRequest> sent { { u"memory"_s, TunnelRequests::GetMemoryUsed {} },
            { u"fetch"_s, TunnelRequests::FetchSubscription { url } }, { u"graph"_s, TunnelRequests::GetGraphData {} },
            { u"online"_s, TunnelRequests::CheckCurrentStatus {} } };
        // A tunnel that will never answer is given up on soon.
        if (answer == "!never")
            m_vpn->setRequestTimeout(20ms);

        auto result = outcomeOf(*m_vpn, request, url);
        if (status == VPNStatus::connected && answer != "!send") {
            QCOMPARE(m_connection->messages.size(), 1);
            QVERIFY(decodeTunnelRequest(m_connection->messages.first().bytes) == sent.at(request));
            if (answer != "!never")
                m_connection->answer(0, answer == "!none" ? std::nullopt : std::optional(answer));
        } else if (m_connection) {
            QVERIFY(m_connection->messages.isEmpty());
        }
        QCOMPARE(QCoro::waitFor(std::move(result)), outcome);
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
        m_connection->answer(0, encoded(TunnelResults::MemoryUsed { 1 }));
        m_connection->answer(1, encoded(TunnelResults::OnlineStatusResult { OnlineStatus::online }));
        QCOMPARE(encoded(QCoro::waitFor(std::move(second))),
            encoded(TunnelResults::OnlineStatusResult { OnlineStatus::online }));

        // An answer that comes after the manager is gone must find nothing to resume.
        m_vpn->setRequestTimeout(20ms);
        QVERIFY(!QCoro::waitFor(m_vpn->getGraphData()));
        m_vpn.reset();
        m_connection->answer(2, encodeGraphData(1, 2, {}));
        settle();
    }

    void checkStatus_data()
    {
        QTest::addColumn<StatusCheck>("row");
        QTest::newRow("no profile: installed first") << StatusCheck { false, QString(), OnlineStatus::online };
        QTest::newRow("profile in place: left alone") << StatusCheck { true, QString(), OnlineStatus::offline };
        QTest::newRow("install fails: unknown, nothing sent")
            << StatusCheck { false, u"disk full"_s, OnlineStatus::unknown };
    }

    void checkStatus()
    {
        QFETCH(StatusCheck, row);
        const auto &[profile, saveFailure, online] = row;
        if (profile)
            loadOne(VPNStatus::connected);
        m_platform->saveScript.failure = saveFailure.isEmpty() ? std::nullopt : std::optional(saveFailure);
        const auto server = makeTestServer(u"Faro"_s);
        auto check = m_vpn->checkStatus(server);
        QCOMPARE(m_platform->saves.size(), profile ? 0 : 1);
        if (!profile)
            m_connection = &m_platform->made.first()->fakeConnection;
        if (saveFailure.isEmpty()) {
            QCOMPARE(m_connection->messages.size(), 1);
            m_connection->answer(0, encoded(TunnelResults::OnlineStatusResult { online }));
            QVERIFY(decodeTunnelRequest(m_connection->messages.first().bytes)
                == TunnelRequest(TunnelRequests::CheckStatus { server->settings() }));
        } else {
            QVERIFY(m_connection->messages.isEmpty());
        }
        QCOMPARE(QCoro::waitFor(std::move(check)), online);
    }
};

WRENLOW_TEST(VPNManagerTest)
#include "tst_vpnmanager.moc"
