// Real traffic, end to end: the application's VPN manager on the real platform layer starts the
// real tunnel program, whose engine talks to real proxy servers on 127.0.0.1.
#include "app/platform/linuxtunnelplatform.h"
#include "app/tunnel/vpnmanager.h"
#include "core/catalogue/server.h"
#include "core/foundation/defaultsstore.h"
#include "platform/tunnelprocesses.h"
#include "taskfailure.h"
#include "testhttpserver.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace peers;

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

// What a program using the HTTP proxy gets: the body, or "error: <reason>".
QByteArray fetchThrough(quint16 proxyPort, const QUrl &url)
{
    const Fetched fetched = fetchThroughProxy(url, proxyPort);
    return fetched.succeeded() ? fetched.body : "error: " + fetched.errorString.toUtf8();
}

} // namespace

class TunnelTrafficTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<TestCaTrust> m_trust;
    HttpDestination m_site;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<LinuxTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    AppSettings m_settings;
    AppSettings m_baseSettings;

    QString socketPath() const { return m_dir.filePath(QStringLiteral("run/wrenlow/tunnel.sock")); }
    quint16 proxyPort() const { return quint16(m_settings.network.httpProxyPort); }

    QString proxyMode() const
    {
        QProcess tool;
        tool.start(QStringLiteral("gsettings"),
            { QStringLiteral("get"), QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode") });
        tool.waitForFinished(10000);
        return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    }

    bool siteSaw(const QByteArray &host) const
    {
        const auto requests = m_site.requests();
        return std::any_of(requests.cbegin(), requests.cend(),
            [&](const HttpDestination::Request &r) { return r.host.startsWith(QByteArray(host + ':')); });
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
        m_settings.routing.blockDomains = { DomainItem { QStringLiteral("blocked.test"), DomainRuleType::fullDomain } };
        m_settings.routing.directDomains = { DomainItem { QStringLiteral("localhost"), DomainRuleType::fullDomain } };

        m_baseSettings = m_settings;
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(QStringLiteral("store")));
        m_platform = std::make_unique<LinuxTunnelPlatform>(*m_store, QStringLiteral(WRENLOW_TUNNEL_PATH), socketPath());
        m_vpn = std::make_unique<VPNManager>(*m_platform, [this] { return m_settings; });
        QCOMPARE(failureOf(m_vpn->loadManager()), QString());
    }

    // Each test starts disconnected with the base settings, whatever the previous one left.
    void cleanup()
    {
        if (m_vpn && m_vpn->status() != VPNStatus::disconnected && m_vpn->status() != VPNStatus::invalid) {
            failureOf(m_vpn->disableVPN());
            QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        }
        m_settings = m_baseSettings;
        qunsetenv("WRENLOW_GEOIP_DIR");
    }

    void cleanupTestCase()
    {
        m_vpn.reset();
        m_platform.reset();
    }

    void trafficFlowsAndFollowsTheSettings()
    {
        ProxyPeer first;
        ProxyPeer second;
        QVERIFY2(first.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(first.errorString()));
        QVERIFY2(second.startVMess(userId, Transport::tls), qPrintable(second.errorString()));

        QCOMPARE(failureOf(m_vpn->enableVPN(shadowsocksServer(first.port()))), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
        QCOMPARE(proxyMode(), QStringLiteral("'manual'"));

        // A page, the connectivity check and a subscription, all through the Shadowsocks server.
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), HttpDestination::page());
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::online);
        m_site.setSubscription("ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpzZWNyZXQ@198.51.100.7:8388#From the tunnel\n");
        QCOMPARE(QCoro::waitFor(m_vpn->fetchSubscription(m_site.url(QStringLiteral("/subscription")))),
            QByteArray("ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpzZWNyZXQ@198.51.100.7:8388#From the tunnel\n"));

        // Two megabytes show on the counters and the graph within a few seconds.
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/bytes/2000000"))).size(), 2000000);
        std::optional<GraphData> graph;
        QTRY_VERIFY_WITH_TIMEOUT(
            (graph = QCoro::waitFor(m_vpn->getGraphData())) && graph->graphData.count(char(0)) < 240, patience);
        QCOMPARE(graph->dataSize, 60);

        // A blocked name never reaches the site; a direct one does not need the server.
        QVERIFY(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"), QStringLiteral("blocked.test")))
                    .startsWith("error"));
        QVERIFY(!siteSaw("blocked.test"));

        // Switching servers keeps the tunnel up and moves the traffic to the new server.
        QCOMPARE(failureOf(m_vpn->changeServer(vmessTlsServer(second.port()), m_settings)), QString());
        QCOMPARE(m_vpn->status(), VPNStatus::connected);
        first.stop();
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), HttpDestination::page());
        second.stop();
        QVERIFY(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))).startsWith("error"));
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"), QStringLiteral("localhost"))),
            HttpDestination::page());
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::offline);

        QCOMPARE(failureOf(m_vpn->disableVPN()), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        QCOMPARE(proxyMode(), QStringLiteral("'none'"));
        QVERIFY(!m_vpn->lastError());
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
        QCOMPARE(failureOf(m_vpn->enableVPN(shadowsocksServer(server.port()))), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
        server.stop();
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), HttpDestination::page());
        // The tunnel's own check still insists on the server.
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::offline);
    }

    // An engine that dies ends the tunnel with its reason, and connect-on-demand brings the
    // tunnel back with a new engine.
    void engineDeathIsReportedAndRecovered()
    {
        ProxyPeer server;
        QVERIFY2(server.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(server.errorString()));
        QCOMPARE(failureOf(m_vpn->enableVPN(shadowsocksServer(server.port()))), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
        const QList<qint64> engines = childProcesses(tunnelPidAt(socketPath()));
        QCOMPARE(engines.size(), 1);

        QTest::ignoreMessage(QtCriticalMsg, "The tunnel stopped: The proxy engine stopped: the engine was killed");
        QCOMPARE(::kill(pid_t(engines.first()), SIGKILL), 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
        const QList<qint64> replaced = childProcesses(tunnelPidAt(socketPath()));
        QCOMPARE(replaced.size(), 1);
        QVERIFY(replaced.first() != engines.first());
        QCOMPARE(fetchThrough(proxyPort(), m_site.url(QStringLiteral("/"))), HttpDestination::page());
    }

    // A REALITY server needs an engine this machine lacks: the start fails and nothing is sent.
    void realityWithoutCapableEngineSendsNothing()
    {
        if (!QStandardPaths::findExecutable(QStringLiteral("xray")).isEmpty())
            QSKIP("xray is installed here, so REALITY can run");
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        VLESSSettings reality;
        reality.address = QStringLiteral("127.0.0.1");
        reality.port = server.serverPort();
        reality.userId = userId;
        reality.encryption = QStringLiteral("none");
        reality.security = QStringLiteral("reality");
        reality.publicKey = QStringLiteral("jNXHt1yRo0vDuchQlIP6Z0ZvjT3KtzVI-T4E7RoLJS0");
        QCOMPARE(failureOf(m_vpn->enableVPN(std::make_shared<Server>(QStringLiteral("R"), reality, false))), QString());
        QTRY_VERIFY_WITH_TIMEOUT(m_vpn->lastError(), patience);
        QCOMPARE(m_vpn->lastError()->description(),
            QStringLiteral("Cannot start tunnel: the server uses REALITY, which the v2ray engine does not support; "
                           "install xray to use it"));
        QCOMPARE(m_vpn->status(), VPNStatus::disconnected);
        QVERIFY(!server.hasPendingConnections());
        QVERIFY(!server.waitForNewConnection(500));
        QCOMPARE(failureOf(m_vpn->disableVPN()), QString());
    }
};

WRENLOW_TEST(TunnelTrafficTest)
#include "tst_tunneltraffic.moc"
