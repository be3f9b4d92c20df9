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
#include "tunnelharness.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace peers;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int patience = 15000;
const QString password = u"correct horse"_s;
const QString userId = u"27848739-7e62-4138-9fd3-098a63964b6b"_s;

ServerPtr shadowsocksServer(quint16 port)
{
    return std::make_shared<Server>(
        u"SS"_s, ShadowsockSettings { u"127.0.0.1"_s, port, ShadowsocksCipher::aes256Gcm, password }, false);
}

QString proxyMode()
{
    return tunneltest::proxyMode(QProcessEnvironment::systemEnvironment());
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
    ProxyPeer m_server;
    AppSettings m_settings;
    AppSettings m_baseSettings;

    QString socketPath() const { return m_dir.filePath(u"run/net.quorvel.wrenlow/tunnel.sock"_s); }

    // What a program using the HTTP proxy gets: the body, or "error: <reason>".
    QByteArray fetch(const QString &path = u"/"_s)
    {
        const Fetched fetched = fetchThroughProxy(m_site.url(path), quint16(m_settings.network.httpProxyPort));
        return fetched.succeeded() ? fetched.body : "error: " + fetched.errorString.toUtf8();
    }

    void connectTo(const ServerPtr &server)
    {
        QCOMPARE(failureOf(m_vpn->enableVPN(server)), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"ss-server"_s).isEmpty())
            QSKIP("needs ss-server (Debian package shadowsocks-libev)");
        // The tunnel inherits all of this: the test CA as the engine's only roots, the check URL,
        // and desktop settings in a private directory.
        m_trust = std::make_unique<TestCaTrust>();
        QVERIFY(m_site.start());
        qputenv("WRENLOW_CHECK_URL", m_site.url(u"/generate_204"_s).toEncoded());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(u"config"_s).toUtf8());
        qputenv("GSETTINGS_BACKEND", "keyfile");
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        m_baseSettings = loopbackSettings();
        m_baseSettings.network.systemProxy = true;
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
    }

    // Each test starts with a fresh application, disconnected, with the base settings.
    void init()
    {
        m_settings = m_baseSettings;
        TunnelTimings timings;
        timings.onDemandDelay = 200ms;
        m_platform
            = std::make_unique<LinuxTunnelPlatform>(*m_store, u"" WRENLOW_TUNNEL_PATH ""_s, socketPath(), timings);
        m_vpn = std::make_unique<VPNManager>(*m_platform, [this] { return m_settings; });
        QCOMPARE(failureOf(m_vpn->loadManager()), QString());
        QVERIFY2(m_server.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(m_server.errorString()));
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
        m_store->remove(u"profiles"_s);
        qunsetenv("WRENLOW_GEOIP_DIR");
        m_server.stop();
    }

    // The tunnel's crash and its engine's are recovered from by the platform (LinuxTunnelTest) and
    // reported by the tunnel program (TunnelProgramTest); what only the whole path shows is here.
    void trafficFlowsAndFollowsTheSettings()
    {
        ProxyPeer second;
        QVERIFY2(second.startV2Ray("vmess", userId, Transport::tls), qPrintable(second.errorString()));
        connectTo(shadowsocksServer(m_server.port()));
        QCOMPARE(proxyMode(), u"'manual'"_s);
        // Connect-on-demand is switched on once connected, and stored with the profile.
        QTRY_VERIFY(m_store->data(u"profiles"_s).value_or(QByteArray()).contains("\"isOnDemandEnabled\":true"));

        // Two megabytes show on the counters and the graph within a few seconds.
        QCOMPARE(fetch(u"/bytes/2000000"_s).size(), 2000000);
        std::optional<GraphData> graph;
        QTRY_VERIFY_WITH_TIMEOUT(
            (graph = QCoro::waitFor(m_vpn->getGraphData())) && graph->graphData.count(char(0)) < 240, patience);
        QCOMPARE(graph->dataSize, 60);

        // Switching servers keeps the tunnel up and moves the traffic to the new server (VMess over
        // TLS, whose certificate names 127.0.0.1); a server the tunnel cannot take is refused with its reason.
        const VMessSettings vmess { u"127.0.0.1"_s, second.port(), userId, true, u"0"_s, u"auto"_s };
        QCOMPARE(
            failureOf(m_vpn->changeServer(std::make_shared<Server>(u"VMess"_s, vmess, false), m_settings)), QString());
        QVERIFY(failureOf(m_vpn->changeServer(shadowsocksServer(0), m_settings)).contains(u"port 0"));
        QCOMPARE(m_vpn->status(), VPNStatus::connected);
        m_server.stop();
        QCOMPARE(fetch(), TestHttpServer::page());
        second.stop();
        QVERIFY(fetch().startsWith("error"));

        const qint64 pid = tunnelPidAt(socketPath());
        QCOMPARE(failureOf(m_vpn->disableVPN()), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        QCOMPARE(proxyMode(), u"'none'"_s);
        QVERIFY(!m_vpn->lastError());
        QTRY_VERIFY(!processRuns(pid));
        QCOMPARE(tunnelPidAt(socketPath()), 0);
    }

    // Addresses of a chosen region go direct: here a made-up region that holds 127.0.0.0/8, so the
    // site stays reachable with the server gone.
    void addressesOfARegionGoDirect()
    {
        QFile ipv4(m_dir.filePath(u"geoip"_s));
        QFile ipv6(m_dir.filePath(u"geoip6"_s));
        QVERIFY(ipv4.open(QIODevice::WriteOnly) && ipv6.open(QIODevice::WriteOnly));
        ipv4.write("# low,high,country\n16777216,16777471,AU\n2130706432,2147483647,ZZ\n");
        // Never reached here, but the engine must accept the block it becomes.
        ipv6.write("2001:db8::,2001:db8::ffff:ffff,ZZ\n");
        ipv4.close();
        ipv6.close();
        qputenv("WRENLOW_GEOIP_DIR", m_dir.path().toUtf8());
        m_settings.geoIP = GeoIPSettings { true, { GeoIPRegion { u"Test"_s, u".zz"_s } } };

        connectTo(shadowsocksServer(m_server.port()));
        m_server.stop();
        QCOMPARE(fetch(), TestHttpServer::page());
        // The tunnel's own check still insists on the server.
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::offline);
    }
};

WRENLOW_TEST(TunnelIntegrationTest)
#include "tst_tunnelintegration.moc"
