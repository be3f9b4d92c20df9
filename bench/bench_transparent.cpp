// Prints how fast 200 MB arrive through the transparent proxy and through the HTTP proxy of the
// same engine, in one run: the tunnel program, its helper and the engine on the client side of two
// network namespaces, ss-server (chacha20-poly1305) and the site on the other. The two legs take
// turns; the best of each and their ratio are printed. MB are 10^6 bytes. Needs root.
//   --rounds <n>   downloads per leg (5)
#include "benchdownload.h"
#include "httpserver.h"
#include "namespacepair.h"
#include "tunnelharness.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>

#include <unistd.h>

using namespace tunneltest;
using Side = NamespacePair::Side;

namespace {

constexpr qint64 downloadSize = 200 * 1000 * 1000;
constexpr quint16 httpProxyPort = 18080;
constexpr int started = 3;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(
        { QStringLiteral("rounds"), QStringLiteral("Downloads per leg."), QStringLiteral("n"), QStringLiteral("5") });
    parser.process(app);
    const int rounds = std::max(1, parser.value(QStringLiteral("rounds")).toInt());
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_transparent needs root: it makes network namespaces\n");
        return 1;
    }

    NamespacePair pair;
    if (!pair.made()) {
        std::fprintf(stderr, "%s\n", qPrintable(pair.errorString()));
        return 1;
    }
    QTemporaryDir dir;
    TestHttpServer site;
    QProcess shadowsocks;
    if (!pair.enter(Side::server) || !site.start(QHostAddress::Any, 80)
        || !pair.startShadowsocks(shadowsocks, dir.filePath(QStringLiteral("ss.json")), 8388)) {
        std::fprintf(stderr, "the site or ss-server did not start\n");
        return 1;
    }

    BackendConfiguration backend = backendFor(NamespacePair::serverLink.toString(), 8388);
    backend.appSettings.network.transparentProxy = true;
    backend.appSettings.network.httpProxy = true;
    backend.appSettings.network.httpProxyPort = httpProxyPort;
    backend.appSettings.dns.prioritizeLocalDNS = false;
    TunnelProcess tunnel;
    TunnelClient client;
    if (!tunnel.launch() || !client.connectTo(tunnel.socketPath())
        || client.start(providerPayload(backend)) != started) {
        std::fprintf(stderr, "the tunnel did not start\n");
        return 1;
    }

    const QByteArray host = NamespacePair::site.toString().toLatin1();
    const QByteArray path = "/bytes/" + QByteArray::number(downloadSize);
    const QByteArray tail = " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    struct Leg {
        const char *label;
        QHostAddress address;
        quint16 port;
        QByteArray request;
        double best = 0;
    };
    Leg legs[] = {
        { "transparent proxy", NamespacePair::site, 80, "GET " + path + tail },
        { "HTTP proxy", QHostAddress::LocalHost, httpProxyPort, "GET http://" + host + path + tail },
    };
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            // Every other round the other leg goes first.
            Leg &leg = legs[round % 2 == 0 ? turn : 1 - turn];
            const Download got = download(leg.address, leg.port, leg.request, downloadSize);
            if (!got.error.isEmpty()) {
                std::fprintf(stderr, "%s: %s\n", leg.label, qPrintable(got.error));
                return 1;
            }
            std::printf("%-20s %8.1f MB/s  (%.2f s; client CPU %3.0f%%)\n", leg.label, megabytesPerSecond(got),
                got.seconds, 100 * got.clientCpuSeconds / got.seconds);
            leg.best = std::max(leg.best, megabytesPerSecond(got));
        }
    }
    std::printf("\nbest of %d, 200 MB each\n", rounds);
    for (const Leg &leg : legs)
        std::printf("%-20s %8.1f MB/s\n", leg.label, leg.best);
    std::printf("%-20s %8.3f (target at least 0.95)\n", "transparent / HTTP", legs[0].best / legs[1].best);
    shadowsocks.kill();
    shadowsocks.waitForFinished();
    return 0;
}
