// The whole path, end to end: the application's VPN manager on the real platform layer launches the
// real tunnel program, whose engine talks to real proxy servers on 127.0.0.1 in front of a local site.
#include "app/platform/linuxtunnelplatform.h"
#include "app/tunnel/vpnmanager.h"
#include "core/catalogue/server.h"
#include "core/foundation/defaultsstore.h"
#include "httpserver.h"
#include "taskfailure.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelprocesses.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace peers;
using namespace std::chrono_literals;

namespace {

constexpr int patience = 15000;
const QString password = QStringLiteral("correct horse");
const QString userId = QStringLiteral("27848739-7e62-4138-9fd3-098a63964b6b");

ServerPtr shadowsocksServer(quint16 port)
{
    return std::make_shared<Server>(QStringLiteral("SS"),
        ShadowsockSettings { QStringLiteral("127.0.0.1"), port, ShadowsocksCipher::aes256Gcm, password }, false);
}

ServerPtr vmessTlsServer(quint16 port)
{
    // The test certificate names 127.0.0.1 too; the engine must check it against the test CA.
    VMessSettings vmess { QStringLiteral("127.0.0.1"), port, userId, true, QStringLiteral("0"),
        QStringLiteral("auto") };
    return std::make_shared<Server>(QStringLiteral("VMess"), vmess, false);
}

ServerPtr realityServer(quint16 port)
{
    VLESSSettings reality;
    reality.address = QStringLiteral("127.0.0.1");
    reality.port = port;
    reality.userId = userId;
    reality.encryption = QStringLiteral("none");
    reality.security = QStringLiteral("reality");
    reality.publicKey = QStringLiteral("jNXHt1yRo0vDuchQlIP6Z0ZvjT3KtzVI-T4E7RoLJS0");
    return std::make_shared<Server>(QStringLiteral("R"), reality, false);
}

// What a program using the HTTP proxy gets: the body, or "error: <reason>".
QByteArray fetchThrough(quint16 proxyPort, const QUrl &url)
{
    const Fetched fetched = fetchThroughProxy(url, proxyPort);
    return fetched.succeeded() ? fetched.body : "error: " + fetched.errorString.toUtf8();
}

} // namespace

class TunnelIntegrationTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<TestCaTrust> m_trust;
    TestHttpServer m_site;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<LinuxTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    AppSettings m_settings;
    AppSettings m_baseSettings;

    QString socketPath() const { return m_dir.filePath(QStringLiteral("run/wrenlow/tunnel.sock")); }
    quint16 proxyPort() const { return quint16(m_settings.network.httpProxyPort); }

    std::unique_ptr<LinuxTunnelPlatform> makePlatform() const
    {
        TunnelTimings timings;
        timings.onDemandDelay = 200ms;
        return std::make_unique<LinuxTunnelPlatform>(
            *m_store, QStringLiteral(WRENLOW_TUNNEL_PATH), socketPath(), timings);
    }

    static QString proxyMode()
    {
        QProcess tool;
        tool.start(QStringLiteral("gsettings"),
            { QStringLiteral("get"), QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode") });
        tool.waitForFinished(10000);
        return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    }

    void connectTo(const ServerPtr &server)
    {
        QCOMPARE(failureOf(m_vpn->enableVPN(server)), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("ss-server")).isEmpty())
            QSKIP("needs ss-server (Debian package shadowsocks-libev)");
        // The tunnel inherits all of this: the test CA as the engine's only roots, the check URL,
        // and desktop settings in a private directory.
        m_trust = std::make_unique<TestCaTrust>();
        QVERIFY(m_site.start());
        qputenv("WRENLOW_CHECK_URL", m_site.url(QStringLiteral("/generate_204")).toEncoded());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        qputenv("GSETTINGS_BACKEND", "keyfile");
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        m_settings = loopbackSettings();
        m_settings.network.systemProxy = true;
        m_baseSettings = m_settings;
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(QStringLiteral("store")));
    }

    // Each test starts with a fresh application, disconnected, with the base settings.
    void init()
    {
        m_settings = m_baseSettings;
        m_platform = makePlatform();
        m_vpn = std::make_unique<VPNManager>(*m_platform, [this] { return m_settings; });
        QCOMPARE(failureOf(m_vpn->loadManager()), QString());
    }

    void cleanup()
    {
        if (m_vpn && m_vpn->status() != VPNStatus::disconnected && m_vpn->status() != VPNStatus::invalid) {
            failureOf(m_vpn->disableVPN());
            QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        }
        m_vpn.reset();
        m_platform.reset();
        // No tunnel outlives its test.
        while (const qint64 pid = tunnelPidAt(socketPath())) {
            ::kill(pid_t(pid), SIGKILL);
            QTRY_VERIFY(!processRuns(pid));
        }
        // A profile left with connect-on-demand on would start the next test's tunnel at launch.
        m_store->remove(QStringLiteral("profiles"));
        qunsetenv("WRENLOW_GEOIP_DIR");
    }

    void trafficFlowsAndFollowsTheSettings()
    {
        ProxyPeer first;
        ProxyPeer second;
        QVERIFY2(first.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(first.errorString()));
        QVERIFY2(second.startVMess(userId, Transport::tls), qPrintable(second.errorString()));
        const ServerPtr server = shadowsocksServer(first.port());
        connectTo(server);
        QCOMPARE(proxyMode(), QStringLiteral("'manual'"));
        // Connect-on-demand is switched on once connected, and stored with the profile.
        QTRY_VERIFY(
            m_store->data(QStringLiteral("profiles")).value_or(QByteArray()).contains("\"isOnDemandEnabled\":true"));

        // A page, the connectivity checks and a subscription, all through the Shadowsocks server.
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), TestHttpServer::page());
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::online);
        QCOMPARE(QCoro::waitFor(m_vpn->checkStatus(server)), OnlineStatus::online);
        m_site.route(
            "/subscription", "ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpzZWNyZXQ@198.51.100.7:8388#From the tunnel\n");
        QVERIFY(QCoro::waitFor(m_vpn->fetchSubscription(m_site.url(QStringLiteral("/subscription"))))
                    .endsWith("#From the tunnel\n"));
        const auto memory = QCoro::waitFor(m_vpn->doTunnelRequest(TunnelRequests::GetMemoryUsed {}));
        QVERIFY(std::holds_alternative<TunnelResults::MemoryUsed>(memory));

        // Two megabytes show on the counters and the graph within a few seconds.
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/bytes/2000000"))).size(), 2000000);
        std::optional<GraphData> graph;
        QTRY_VERIFY_WITH_TIMEOUT(
            (graph = QCoro::waitFor(m_vpn->getGraphData())) && graph->graphData.count(char(0)) < 240, patience);
        QCOMPARE(graph->dataSize, 60);

        // Switching servers keeps the tunnel up and moves the traffic to the new server; a server the
        // tunnel cannot take is refused with its reason.
        QCOMPARE(failureOf(m_vpn->changeServer(vmessTlsServer(second.port()), m_settings)), QString());
        QVERIFY(failureOf(m_vpn->changeServer(shadowsocksServer(0), m_settings)).contains(QStringLiteral("port 0")));
        QCOMPARE(m_vpn->status(), VPNStatus::connected);
        first.stop();
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), TestHttpServer::page());
        second.stop();
        QVERIFY(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))).startsWith("error"));
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::offline);

        const qint64 pid = tunnelPidAt(socketPath());
        QCOMPARE(failureOf(m_vpn->disableVPN()), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        QCOMPARE(proxyMode(), QStringLiteral("'none'"));
        QVERIFY(!m_vpn->lastError());
        QTRY_VERIFY(!processRuns(pid));
        QCOMPARE(tunnelPidAt(socketPath()), 0);
    }

    // The tunnel's own words reach the user when a connect fails, also in an application started
    // afterwards; a server the engine cannot serve is never contacted.
    void failedStartGivesTheTunnelsReason_data()
    {
        QTest::addColumn<bool>("reality");
        QTest::addColumn<QString>("reason");
        QTest::newRow("port 0") << false << QStringLiteral("Cannot start tunnel: the server port 0 is out of range");
        if (QStandardPaths::findExecutable(QStringLiteral("xray")).isEmpty())
            QTest::newRow("REALITY without xray")
                << true
                << QStringLiteral("Cannot start tunnel: the server uses REALITY, which the v2ray engine does not "
                                  "support; install xray to use it");
    }

    void failedStartGivesTheTunnelsReason()
    {
        QFETCH(bool, reality);
        QFETCH(QString, reason);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QCOMPARE(failureOf(m_vpn->enableVPN(reality ? realityServer(server.serverPort()) : shadowsocksServer(0))),
            QString());
        QTRY_VERIFY_WITH_TIMEOUT(m_vpn->lastError(), patience);
        QCOMPARE(m_vpn->lastError()->description(), reason);
        QCOMPARE(m_vpn->status(), VPNStatus::disconnected);
        QVERIFY(!server.waitForNewConnection(200));

        auto later = makePlatform();
        const auto profiles = QCoro::waitFor(later->loadAllFromPreferences());
        QCOMPARE(profiles.size(), 1);
        const auto fromDisk = QCoro::waitFor(profiles.first()->connection()->fetchLastDisconnectError());
        QVERIFY(fromDisk);
        QCOMPARE(fromDisk->description(), reason);
        QCOMPARE(fromDisk->domain(), QStringLiteral("Wrenlow.TunnelProviderError"));
    }

    // An engine or a tunnel that dies ends the connection (the engine with its reason), and
    // connect-on-demand brings the tunnel back with a new engine.
    void deathIsRecoveredFrom_data()
    {
        QTest::addColumn<bool>("engine");
        QTest::newRow("engine killed") << true;
        QTest::newRow("tunnel killed") << false;
    }

    void deathIsRecoveredFrom()
    {
        QFETCH(bool, engine);
        ProxyPeer server;
        QVERIFY2(server.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(server.errorString()));
        connectTo(shadowsocksServer(server.port()));
        const qint64 tunnel = tunnelPidAt(socketPath());
        const QList<qint64> engines = childProcesses(tunnel);
        QCOMPARE(engines.size(), 1);

        if (engine)
            QTest::ignoreMessage(QtCriticalMsg, "The tunnel stopped: The proxy engine stopped: the engine was killed");
        QCOMPARE(::kill(pid_t(engine ? engines.first() : tunnel), SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
        const QList<qint64> replaced = childProcesses(tunnelPidAt(socketPath()));
        QCOMPARE(replaced.size(), 1);
        QVERIFY(replaced.first() != engines.first());
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), TestHttpServer::page());
    }

    // An application started while a tunnel runs finds it, and follows it from then on.
    void laterApplicationAttaches()
    {
        ProxyPeer server;
        QVERIFY2(server.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(server.errorString()));
        connectTo(shadowsocksServer(server.port()));
        auto later = makePlatform();
        const auto profiles = QCoro::waitFor(later->loadAllFromPreferences());
        QCOMPARE(profiles.size(), 1);
        auto *attached = profiles.first()->connection();
        QCOMPARE(attached->status(), VPNStatus::connected);
        attached->stopVPNTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(attached->status(), VPNStatus::disconnected, patience);
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
    }

    // Addresses of a chosen region go direct: here a made-up region that holds 127.0.0.0/8, so the
    // site stays reachable with the server gone.
    void addressesOfARegionGoDirect()
    {
        QFile ipv4(m_dir.filePath(QStringLiteral("geoip")));
        QFile ipv6(m_dir.filePath(QStringLiteral("geoip6")));
        QVERIFY(ipv4.open(QIODevice::WriteOnly) && ipv6.open(QIODevice::WriteOnly));
        ipv4.write("# low,high,country\n16777216,16777471,AU\n2130706432,2147483647,ZZ\n");
        ipv4.close();
        ipv6.close();
        qputenv("WRENLOW_GEOIP_DIR", m_dir.path().toUtf8());
        m_settings.geoIP = GeoIPSettings { true, { GeoIPRegion { QStringLiteral("Test"), QStringLiteral(".zz") } } };

        ProxyPeer server;
        QVERIFY2(server.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(server.errorString()));
        connectTo(shadowsocksServer(server.port()));
        server.stop();
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), TestHttpServer::page());
        // The tunnel's own check still insists on the server.
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::offline);
    }
};

WRENLOW_TEST(TunnelIntegrationTest)
#include "tst_tunnelintegration.moc"
