// Prints how fast 100 MB arrive from a local site, directly, through the engine started by hand
// and through the tunnel program as the application starts it (best of 20 by default, the two proxied legs
// taking turns); the memory of the tunnel and its engine; and what reading the engine's counters
// once a second costs. MB are 10^6 bytes.
//   --cpu-load     one busy-looping child process runs beside everything measured, as a machine
//                  that is doing something else: the tunnel must keep up with the engine there too
//   --rounds <n>   downloads per leg (20)
//   --traffic-only only the download rates
#include "app/platform/linuxtunnelplatform.h"
#include "app/tunnel/vpnmanager.h"
#include "benchdownload.h"
#include "core/catalogue/server.h"
#include "core/foundation/defaultsstore.h"
#include "engine/engineconfig.h"
#include "engine/geoipranges.h"
#include "httpserver.h"
#include "statssamplingcost.h"
#include "testpeers.h"
#include "tunnelprocesses.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>

#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr qint64 downloadSize = 100 * 1000 * 1000;
int rounds = 20;

QByteArray siteHost(const TestHttpServer &site)
{
    return "127.0.0.1:" + QByteArray::number(site.port());
}

// The best of `rounds` downloads of downloadSize bytes from the site for each of `proxyPorts` (0:
// directly), taking turns so that whatever else the machine does weighs on all of them alike;
// nothing after printing why when one fails.
std::optional<QList<Download>> bestDownloads(
    const QStringList &labels, const TestHttpServer &site, const QList<quint16> &proxyPorts)
{
    QList<std::optional<Download>> best(proxyPorts.size());
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype turn = 0; turn < proxyPorts.size(); ++turn) {
            // Every other round in reverse, so that no leg always follows the same one.
            const qsizetype leg = round % 2 == 0 ? turn : proxyPorts.size() - 1 - turn;
            const quint16 proxyPort = proxyPorts.at(leg);
            QByteArray target = "/bytes/" + QByteArray::number(downloadSize);
            // A proxy gets the absolute form, as browsers send plain-HTTP requests to it.
            if (proxyPort != 0)
                target.prepend("http://" + siteHost(site));
            const QByteArray request
                = "GET " + target + " HTTP/1.1\r\nHost: " + siteHost(site) + "\r\nConnection: close\r\n\r\n";
            const Download attempt
                = download(QHostAddress::LocalHost, proxyPort != 0 ? proxyPort : site.port(), request, downloadSize);
            if (!attempt.error.isEmpty()) {
                std::printf("%-34s failed: %s\n", qPrintable(labels.at(leg)), qPrintable(attempt.error));
                return std::nullopt;
            }
            if (!best[leg] || attempt.seconds < best[leg]->seconds)
                best[leg] = attempt;
        }
    }
    QList<Download> result;
    for (const auto &leg : best)
        result.append(*leg);
    return result;
}

void printRate(const QString &label, const Download &download)
{
    std::printf("%-34s %8.1f MB/s  (%.3f s; client CPU %3.0f%%)\n", qPrintable(label), megabytesPerSecond(download),
        download.seconds, 100.0 * download.clientCpuSeconds / download.seconds);
}

// A process's VmRSS from /proc/<pid>/status in KiB, or -1.
qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.sliced(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// One child process spinning on a core while it lives, started before the tunnel so that both
// engines see the same load; it dies with the bench. It runs in a session of its own, as another
// program on the machine would: with autogrouping the scheduler shares the cores between sessions.
class BusyProcess final {
public:
    BusyProcess()
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::setsid();
            for (;;) { }
        }
        if (m_pid < 0)
            std::printf("the busy process could not be started\n");
    }

    ~BusyProcess()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    Q_DISABLE_COPY_MOVE(BusyProcess)

private:
    pid_t m_pid = -1;
};

// The tunnel program, started by the VPN manager on the real platform layer as the application
// does, with its HTTP proxy on.
class TunnelUnderTest {
public:
    explicit TunnelUnderTest(const ShadowsockSettings &proxy)
        : m_store(m_dir.filePath(QStringLiteral("config")))
        , m_platform(m_store, QStringLiteral(WRENLOW_TUNNEL_PATH), socketPath())
        , m_vpn(m_platform, [this] { return m_settings; })
    {
        m_settings.network = NetworkSettings { false, true, false, freePort() };
        QCoro::waitFor(m_vpn.loadManager());
        QCoro::waitFor(m_vpn.enableVPN(std::make_shared<Server>(QStringLiteral("bench"), proxy, false)));
        if (!QTest::qWaitFor([this] { return m_vpn.status() == VPNStatus::connected; }, 15000))
            std::printf("the tunnel did not connect: %s\n",
                m_vpn.lastError() ? qPrintable(m_vpn.lastError()->description()) : "no reason");
    }

    ~TunnelUnderTest()
    {
        QCoro::waitFor(m_vpn.disableVPN());
        if (!QTest::qWaitFor([this] { return m_vpn.status() == VPNStatus::disconnected; }, 15000))
            std::printf("the tunnel did not stop in time\n");
    }

    bool isConnected() const { return m_vpn.status() == VPNStatus::connected; }
    quint16 proxyPort() const { return quint16(m_settings.network.httpProxyPort); }
    qint64 tunnelPid() const { return tunnelPidAt(socketPath()); }
    qint64 enginePid() const { return childProcesses(tunnelPid()).value(0); }

private:
    QString socketPath() const { return m_dir.filePath(QStringLiteral("run/tunnel.sock")); }

    QTemporaryDir m_dir;
    DefaultsStore m_store;
    LinuxTunnelPlatform m_platform;
    AppSettings m_settings;
    VPNManager m_vpn;
};

// The CPU the tunnel spends while connected and idle, which is mostly the once-a-second reading of
// the engine's counters.
void printIdleCost(qint64 tunnelPid)
{
    constexpr int idleSeconds = 30;
    const double before = processCpuSeconds(tunnelPid);
    QTest::qWait(idleSeconds * 1000);
    const double idle = processCpuSeconds(tunnelPid) - before;
    std::printf("%-34s %8.3f%% of a core (CPU time %.2f s in %d s, clock ticks of 10 ms)\n", "tunnel idle, connected",
        100.0 * idle / idleSeconds, idle, idleSeconds);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption cpuLoad(QStringLiteral("cpu-load"), QStringLiteral("Keep one core busy meanwhile."));
    const QCommandLineOption roundsOption(
        QStringLiteral("rounds"), QStringLiteral("Downloads per leg."), QStringLiteral("n"), QString::number(rounds));
    const QCommandLineOption trafficOnly(QStringLiteral("traffic-only"), QStringLiteral("Measure the rates only."));
    parser.addOptions({ cpuLoad, roundsOption, trafficOnly });
    parser.addHelpOption();
    parser.process(app);
    rounds = std::max(1, parser.value(roundsOption).toInt());

    std::optional<BusyProcess> busy;
    if (parser.isSet(cpuLoad))
        busy.emplace();
    std::printf("%lld MB per download, best of %d%s\n", static_cast<long long>(downloadSize / 1000000), rounds,
        busy ? ", one busy process beside" : "");

    TestHttpServer site;
    if (!site.start()) {
        std::printf("the local site could not listen\n");
        return 1;
    }
    const auto direct = bestDownloads({ QStringLiteral("direct") }, site, { 0 });
    if (!direct)
        return 1;
    printRate(QStringLiteral("direct"), direct->first());

    // The engine as the tunnel runs it, started by hand with the tunnel's configuration (statistics
    // API and own inbound included): Shadowsocks aes-256-gcm to ss-server.
    const QString password = QStringLiteral("bench-password");
    peers::ProxyPeer server;
    if (!server.startShadowsocks(ShadowsocksCipher::aes256Gcm, password)) {
        std::printf("ss-server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const ShadowsockSettings proxy { QStringLiteral("127.0.0.1"), server.port(), ShadowsocksCipher::aes256Gcm,
        password };
    BackendConfiguration backend { proxy, AppSettings {} };
    const quint16 httpPort = freePort();
    backend.appSettings.network = NetworkSettings { false, true, false, httpPort };
    EngineOptions options;
    options.apiPort = freePort();
    options.tunnelPort = freePort();
    // In a session of its own, through setsid(1), which execs in place: the tunnel's engine runs in
    // the tunnel's session, and with autogrouping the scheduler shares the cores between sessions
    // first. In the bench's session this engine would share its slice with the site, ss-server and
    // the downloading client, which no engine a user runs does, and outrun the tunnel whenever
    // the machine is busy.
    const QStringList arguments { QStringLiteral("v2ray"), QStringLiteral("-config"), QStringLiteral("stdin:") };
    peers::ServerProcess engine;
    if (!engine.start(QStringLiteral("setsid"), arguments, json::serialize(makeEngineConfig(backend, options).document),
            httpPort)) {
        std::printf("v2ray: %s\n", qPrintable(engine.errorString()));
        return 1;
    }

    const TunnelUnderTest tunnel(proxy);
    if (!tunnel.isConnected())
        return 1;
    if (!parser.isSet(trafficOnly))
        printIdleCost(tunnel.tunnelPid());
    const QStringList labels { QStringLiteral("v2ray alone, ss aes-256-gcm"),
        QStringLiteral("wrenlow-tunnel HTTP proxy") };
    const auto legs = bestDownloads(labels, site, { httpPort, tunnel.proxyPort() });
    if (!legs)
        return 1;
    for (qsizetype leg = 0; leg < legs->size(); ++leg) {
        printRate(labels.at(leg), legs->at(leg));
        std::printf(
            "%-34s %8.2f of direct\n", "", megabytesPerSecond(legs->at(leg)) / megabytesPerSecond(direct->first()));
    }
    std::printf("%-34s %8.3f (target at least 0.95)\n", "tunnel / engine alone",
        megabytesPerSecond(legs->at(1)) / megabytesPerSecond(legs->at(0)));
    std::printf("%-34s tunnel %lld KiB, its engine %lld KiB, engine alone %lld KiB\n", "VmRSS after the downloads",
        static_cast<long long>(residentKiB(tunnel.tunnelPid())),
        static_cast<long long>(residentKiB(tunnel.enginePid())),
        static_cast<long long>(residentKiB(engine.processId())));
    engine.stop();
    if (parser.isSet(trafficOnly))
        return 0;

    // The same engine with the China region's ranges, the largest a user is likely to pick.
    backend.appSettings.geoIP
        = GeoIPSettings { true, { GeoIPRegion { QStringLiteral("China"), QStringLiteral(".cn") } } };
    options.regionRanges.insert(QStringLiteral(".cn"), geoip::rangesFor(QStringLiteral("CN")));
    if (engine.start(QStringLiteral("setsid"), arguments, json::serialize(makeEngineConfig(backend, options).document),
            httpPort)) {
        std::printf("%-34s engine VmRSS %lld KiB with the %lld ranges of .cn\n", "GeoIP region",
            static_cast<long long>(residentKiB(engine.processId())),
            static_cast<long long>(options.regionRanges.value(QStringLiteral(".cn")).size()));
        engine.stop();
    }

    // The client side of the counter reading alone, back to back and at the tunnel's cadence.
    if (const auto cost = measureStatsSamplingCost(3000, std::chrono::milliseconds(0)))
        printStatsSamplingCost(*cost, std::chrono::milliseconds(0));
    if (const auto cost = measureStatsSamplingCost(30, std::chrono::seconds(1)))
        printStatsSamplingCost(*cost, std::chrono::seconds(1));
    return 0;
}
