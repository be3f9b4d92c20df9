#include "app/platform/linuxtunnelplatform.h"
#include "app/tunnel/vpnmanager.h"
#include "core/catalogue/server.h"
#include "core/foundation/defaultsstore.h"
#include "taskfailure.h"
#include "testhttpserver.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelprocesses.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The VPN manager on the real platform layer and the real tunnel program, as the application runs them.
namespace {

constexpr int patience = 15000;

} // namespace

class VPNIntegrationTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<LinuxTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    QList<VPNStatus> m_seen;
    // A real Shadowsocks server and a site behind it, for the checks that go through the tunnel.
    peers::ProxyPeer m_reachable;
    peers::HttpDestination m_site;

    QString socketPath() const { return m_dir->filePath(QStringLiteral("run/wrenlow/tunnel.sock")); }

    ServerPtr localServer(quint16 port) const
    {
        return std::make_shared<Server>(QStringLiteral("Local"),
            ShadowsockSettings {
                QStringLiteral("127.0.0.1"), port, ShadowsocksCipher::aes256Gcm, QStringLiteral("pw") },
            false);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<DefaultsStore>(m_dir->filePath(QStringLiteral("config")));
        m_platform = std::make_unique<LinuxTunnelPlatform>(*m_store, QStringLiteral(WRENLOW_TUNNEL_PATH), socketPath());
        m_vpn = std::make_unique<VPNManager>(*m_platform, [] { return loopbackSettings(); });
        m_seen.clear();
        connect(m_vpn.get(), &VPNManager::statusChanged, this, [this] { m_seen.append(m_vpn->status()); });
        QVERIFY2(m_reachable.startShadowsocks(ShadowsocksCipher::aes256Gcm, QStringLiteral("pw")),
            qPrintable(m_reachable.errorString()));
        QVERIFY(m_site.start());
        qputenv("WRENLOW_CHECK_URL", m_site.url(QStringLiteral("/generate_204")).toEncoded());
        QCOMPARE(failureOf(m_vpn->loadManager()), QString());
    }

    void cleanup()
    {
        m_vpn.reset();
        m_platform.reset();
        m_reachable.stop();
        while (const qint64 pid = tunnelPidAt(socketPath())) {
            ::kill(pid_t(pid), SIGKILL);
            QTRY_VERIFY(!processRuns(pid));
        }
        m_store.reset();
        m_dir.reset();
    }

    void connectAskAndDisconnect()
    {
        const ServerPtr server = localServer(m_reachable.port());
        QCOMPARE(failureOf(m_vpn->enableVPN(server)), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::connected, patience);
        QVERIFY(m_seen.contains(VPNStatus::connecting));
        QVERIFY(m_vpn->isActive());
        // Connect-on-demand is switched on once connected, and stored with the profile.
        QTRY_VERIFY(
            m_store->data(QStringLiteral("profiles")).value_or(QByteArray()).contains("\"isOnDemandEnabled\":true"));

        QCOMPARE(QCoro::waitFor(m_vpn->checkStatus(server)), OnlineStatus::online);
        QCOMPARE(QCoro::waitFor(m_vpn->checkCurrentStatus()), OnlineStatus::online);
        const auto graph = QCoro::waitFor(m_vpn->getGraphData());
        QVERIFY(graph);
        QCOMPARE(graph->dataSize, 60);
        const auto memory = QCoro::waitFor(m_vpn->doTunnelRequest(TunnelRequests::GetMemoryUsed {}));
        QVERIFY(std::holds_alternative<TunnelResults::MemoryUsed>(memory));
        QVERIFY(std::get<TunnelResults::MemoryUsed>(memory).amount > 0);
        // A switch while running goes to the tunnel first; a server it cannot take is refused with its reason.
        QCOMPARE(failureOf(m_vpn->changeServer(localServer(m_reachable.port()), loopbackSettings())), QString());
        QVERIFY(failureOf(m_vpn->changeServer(localServer(0), loopbackSettings())).contains(QStringLiteral("port 0")));

        QCOMPARE(failureOf(m_vpn->disableVPN()), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_vpn->status(), VPNStatus::disconnected, patience);
        QVERIFY(!m_vpn->lastError());
        QTRY_COMPARE(tunnelPidAt(socketPath()), 0);
    }

    // The tunnel's own words reach the user when a connect fails.
    void startFailureBecomesLastError()
    {
        QCOMPARE(failureOf(m_vpn->enableVPN(localServer(0))), QString());
        QTRY_VERIFY_WITH_TIMEOUT(m_vpn->lastError(), patience);
        QCOMPARE(m_vpn->lastError()->description(),
            QStringLiteral("Cannot start tunnel: the server port 0 is out of range"));
        QCOMPARE(m_vpn->status(), VPNStatus::disconnected);
        QVERIFY(m_seen.contains(VPNStatus::connecting));
    }
};

WRENLOW_TEST(VPNIntegrationTest)
#include "tst_vpnintegration.moc"
