// wrenlow-intercept: the privileged part of the transparent proxy, started through pkexec.
//   wrenlow-intercept --port <tproxy port> [--server <address>]...
// Installs our nftables table and the policy routing, prints "ready", and removes both when its
// standard input closes (the tunnel went) or it is told to stop. It takes nothing else from its
// caller: no paths, no rule text, no commands. Killed, it leaves no table (the kernel drops an
// owned table with its owner); the next start removes the routing rules it left.

#include "interception/policyrouting.h"
#include "interception/ruleset.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <nftables/libnftables.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

struct Arguments {
    quint16 port = 0;
    QList<QHostAddress> servers;
};

std::optional<Arguments> parse(const QStringList &arguments)
{
    Arguments parsed;
    for (qsizetype i = 1; i < arguments.size(); i += 2) {
        if (i + 1 >= arguments.size())
            return std::nullopt;
        const QString &value = arguments[i + 1];
        if (arguments[i] == u"--port") {
            bool ok = false;
            const uint port = value.toUInt(&ok);
            if (!ok || port == 0 || port > 65535 || parsed.port != 0)
                return std::nullopt;
            parsed.port = quint16(port);
        } else if (arguments[i] == u"--server") {
            QHostAddress address;
            if (!address.setAddress(value) || address.isNull())
                return std::nullopt;
            parsed.servers.append(address);
        } else {
            return std::nullopt;
        }
    }
    if (parsed.port == 0)
        return std::nullopt;
    return parsed;
}

// The table lives as long as this context's netlink socket: it was made with the owner flag.
struct NftContextDeleter {
    void operator()(nft_ctx *context) const { nft_ctx_free(context); }
};
using NftContext = std::unique_ptr<nft_ctx, NftContextDeleter>;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const std::optional<Arguments> arguments = parse(QCoreApplication::arguments());
    if (!arguments) {
        std::fprintf(stderr, "usage: wrenlow-intercept --port <port> [--server <address>]...\n");
        return 2;
    }

    struct sigaction action { };
    action.sa_handler = requestStop;
    // No SA_RESTART: the read below returns, and the clean-up runs.
    for (const int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaction(signal, &action, nullptr);

    NftContext nft(nft_ctx_new(NFT_CTX_DEFAULT));
    if (!nft) {
        std::fprintf(stderr, "nftables is not available\n");
        return 1;
    }
    nft_ctx_buffer_error(nft.get());
    const QByteArray ruleset = interceptionRuleset({ arguments->port, arguments->servers }).toUtf8();
    if (nft_run_cmd_from_buffer(nft.get(), ruleset.constData()) != 0) {
        std::fprintf(stderr, "the interception rules were refused: %s\n", nft_ctx_get_error_buffer(nft.get()));
        return 1;
    }
    PolicyRouting routing;
    if (const QString failure = routing.install(); !failure.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    char buffer[256];
    while (!stopRequested) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR))
            break;
    }
    routing.remove();
    nft_run_cmd_from_buffer(nft.get(), "delete table inet wrenlow");
    return 0;
}
