#include "app/platform/linuxtunnelplatform.h"
#include "core/foundation/defaultsstore.h"
#include "core/tunnel/tunnelmessages.h"
#include "testhttpserver.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelprocesses.h"

#include <QFile>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/socket.h>

// The application side against the real tunnel program, launched as the application launches it.
namespace {

using namespace std::chrono_literals;

constexpr int patience = 15000;

BackendConfiguration backendFor(quint16 port)
{
    return BackendConfiguration { ShadowsockSettings { QStringLiteral("127.0.0.1"), port,
                                      ShadowsocksCipher::chacha20Poly1305, QStringLiteral("pw") },
        loopbackSettings() };
}

TunnelProtocol protocolFor(const BackendConfiguration &backend)
{
    const NetworkSettings &network = backend.appSettings.network;
    return TunnelProtocol { false, QStringLiteral("127.0.0.1:1"),
        ProviderConfiguration { QString::fromUtf8(json::serialize(encodeBackendConfiguration(backend))),
            QStringLiteral("127.0.0.1"), network.transparentProxy, network.httpProxy, network.systemProxy,
            network.httpProxyPort } };
}

// Every status the connection passes through, read when its notification arrives.
struct StatusLog {
    QList<VPNStatus> seen;
    explicit StatusLog(TunnelConnection *connection)
    {
        QObject::connect(connection, &TunnelConnection::statusChanged, connection,
            [this, connection] { seen.append(connection->status()); });
    }
};

} // namespace

Q_DECLARE_METATYPE(VPNStatus)

class TunnelIntegrationTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<LinuxTunnelPlatform> m_platform;
    QTcpServer m_server;

    QString socketPath() const { return m_dir->filePath(QStringLiteral("run/wrenlow/tunnel.sock")); }

    std::unique_ptr<LinuxTunnelPlatform> makePlatform()
    {
        TunnelTimings timings;
        timings.onDemandDelay = 200ms;
        return std::make_unique<LinuxTunnelPlatform>(
            *m_store, QStringLiteral(WRENLOW_TUNNEL_PATH), socketPath(), timings);
    }

    TunnelProfilePtr savedProfile(const BackendConfiguration &backend, bool onDemand = false)
    {
        auto profile = m_platform->makeProfile();
        profile->protocolConfiguration = protocolFor(backend);
        profile->isOnDemandEnabled = onDemand;
        QCoro::waitFor(profile->saveToPreferences());
        return profile;
    }

    // The answer, or "none" when the handler got none or did not run in time.
    static QByteArray ask(TunnelConnection *connection, const TunnelRequest &request)
    {
        std::optional<QByteArray> answer;
        connection->sendProviderMessage(encodeTunnelRequest(request),
            [&answer](std::optional<QByteArray> response) { answer = response.value_or("none"); });
        (void)QTest::qWaitFor([&] { return answer.has_value(); }, patience);
        return answer.value_or("none");
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<DefaultsStore>(m_dir->filePath(QStringLiteral("config")));
        m_platform = makePlatform();
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        // A web server small enough for one subscription.
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                if (!socket->peek(4096).contains("\r\n\r\n"))
                    return;
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\nss://abc#srv");
                socket->disconnectFromHost();
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
    }

    // No tunnel outlives its test.
    void cleanup()
    {
        m_platform.reset();
        m_server.close();
        m_server.disconnect(this);
        while (const qint64 pid = tunnelPidAt(socketPath())) {
            ::kill(pid_t(pid), SIGKILL);
            QTRY_VERIFY(!processRuns(pid));
        }
        m_store.reset();
        m_dir.reset();
    }

    void startExchangeAndStop()
    {
        // A real Shadowsocks server and site: the status check and the download go through them.
        peers::ProxyPeer server;
        QVERIFY2(server.startShadowsocks(ShadowsocksCipher::chacha20Poly1305, QStringLiteral("pw")),
            qPrintable(server.errorString()));
        peers::HttpDestination site;
        QVERIFY(site.start());
        site.setSubscription("ss://abc#srv");
        qputenv("WRENLOW_CHECK_URL", site.url(QStringLiteral("/generate_204")).toEncoded());
        const BackendConfiguration backend = backendFor(server.port());
        auto *connection = savedProfile(backend)->connection();
        StatusLog log(connection);
        connection->startVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(log.seen, (QList { VPNStatus::connecting, VPNStatus::connected }), patience);

        using namespace TunnelRequests;
        using namespace TunnelResults;
        AppSettings changed = loopbackSettings();
        const QUrl subscription = site.url(QStringLiteral("/subscription"));
        const QList<std::pair<TunnelRequest, TunnelRequestResult>> exchanges {
            { Change { BackendConfiguration { backend.serverSettings, changed } }, Success {} },
            { ChangeNetworkSettings { changed.network }, Success {} },
            { CheckStatus { backend.serverSettings }, OnlineStatusResult { OnlineStatus::online } },
            { CheckCurrentStatus {}, OnlineStatusResult { OnlineStatus::online } },
            { TunnelRequests::FetchSubscription { subscription }, TunnelResults::FetchSubscription { "ss://abc#srv" } },
        };
        for (const auto &[request, expected] : exchanges) {
            const QByteArray answer = ask(connection, request);
            QVERIFY2(decodeTunnelRequestResult(answer) == expected, answer.constData());
        }
        const QByteArray memory = ask(connection, GetMemoryUsed {});
        QVERIFY2(std::holds_alternative<MemoryUsed>(decodeTunnelRequestResult(memory)), memory.constData());
        QVERIFY(decodeGraphData(ask(connection, GetGraphData {})));

        const qint64 pid = static_cast<LinuxTunnelConnection *>(connection)->tunnelProcessId();
        QVERIFY(processRuns(pid));
        connection->stopVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(log.seen,
            (QList { VPNStatus::connecting, VPNStatus::connected, VPNStatus::disconnecting, VPNStatus::disconnected }),
            patience);
        QTRY_VERIFY(!processRuns(pid));
        QVERIFY(!QCoro::waitFor(connection->fetchLastDisconnectError()));
        QCOMPARE(tunnelPidAt(socketPath()), 0);
    }

    // The reason reaches the application listening at the time, and one started afterwards.
    void invalidConfigurationGivesTheTunnelsReason()
    {
        auto *connection = savedProfile(backendFor(0))->connection();
        StatusLog log(connection);
        connection->startVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(log.seen, (QList { VPNStatus::connecting, VPNStatus::disconnected }), patience);

        const PlatformError expected(QStringLiteral("Wrenlow.TunnelProviderError"), 1,
            QStringLiteral("Cannot start tunnel: the server port 0 is out of range"),
            QStringLiteral("Cannot start tunnel: the server port 0 is out of range"));
        const auto error = QCoro::waitFor(connection->fetchLastDisconnectError());
        QVERIFY(error);
        QCOMPARE(error->description(), expected.description());
        QVERIFY(*error == expected);

        auto later = makePlatform();
        const auto profiles = QCoro::waitFor(later->loadAllFromPreferences());
        QCOMPARE(profiles.size(), 1);
        const auto fromDisk = QCoro::waitFor(profiles.first()->connection()->fetchLastDisconnectError());
        QVERIFY(fromDisk && *fromDisk == expected);
    }

    // An on-demand profile's tunnel is started at launch, and again after it was killed.
    void onDemandKeepsTheTunnelUp()
    {
        savedProfile(backendFor(m_server.serverPort()), true);
        m_platform = makePlatform();
        const auto profiles = QCoro::waitFor(m_platform->loadAllFromPreferences());
        QCOMPARE(profiles.size(), 1);
        auto *connection = static_cast<LinuxTunnelConnection *>(profiles.first()->connection());
        StatusLog log(connection);
        QTRY_COMPARE_WITH_TIMEOUT(connection->status(), VPNStatus::connected, patience);
        const qint64 first = connection->tunnelProcessId();
        QVERIFY(processRuns(first));

        ::kill(pid_t(first), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(log.seen.contains(VPNStatus::disconnected), patience);
        QTRY_COMPARE_WITH_TIMEOUT(log.seen.last(), VPNStatus::connected, patience);
        QVERIFY(connection->tunnelProcessId() != first);
        QCOMPARE(tunnelPidAt(socketPath()), connection->tunnelProcessId());
    }

    // An application started while a tunnel runs finds it, and follows it from then on.
    void laterApplicationAttaches()
    {
        auto *connection = savedProfile(backendFor(m_server.serverPort()))->connection();
        connection->startVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(connection->status(), VPNStatus::connected, patience);

        auto later = makePlatform();
        const auto profiles = QCoro::waitFor(later->loadAllFromPreferences());
        QCOMPARE(profiles.size(), 1);
        auto *attached = profiles.first()->connection();
        QCOMPARE(attached->status(), VPNStatus::connected);
        QVERIFY(ask(attached, TunnelRequests::GetMemoryUsed {}) != "none");

        attached->stopVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(connection->status(), VPNStatus::disconnected, patience);
        QTRY_COMPARE_WITH_TIMEOUT(attached->status(), VPNStatus::disconnected, patience);
    }
};

WRENLOW_TEST(TunnelIntegrationTest)
#include "tst_tunnelintegration.moc"
