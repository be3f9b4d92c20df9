// wrenlow-tunnel: the tunnel program the application starts and talks to (docs/tunnel-ipc.md).
//   wrenlow-tunnel --handshake        prints {"protocol":1,"version":"..."} and exits
//   wrenlow-tunnel --socket <path>    serves the application on that socket until stopped
//   wrenlow-tunnel --recover-system-proxy
//                                     puts back the desktop's proxy settings a killed tunnel left
//                                     behind, then exits (the application runs it at start)

#include "core/foundation/signalwatcher.h"
#include "core/systemproxy/systemproxy.h"
#include "service/tunnelserver.h"
#include "service/tunnelservice.h"
#include "service/tunnelversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    // A client that vanishes mid-write must cost a write error, not the process.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wrenlow-tunnel"));
    QCoreApplication::setApplicationVersion(tunnelVersion());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The Wrenlow tunnel program."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption handshake(
        QStringLiteral("handshake"), QStringLiteral("Print the protocol and version as JSON, then exit."));
    const QCommandLineOption socket(
        QStringLiteral("socket"), QStringLiteral("Serve the application on this socket."), QStringLiteral("path"));
    const QCommandLineOption recover(QStringLiteral("recover-system-proxy"),
        QStringLiteral("Restore the desktop's proxy settings a killed tunnel left behind, then exit."));
    parser.addOption(handshake);
    parser.addOption(socket);
    parser.addOption(recover);
    parser.process(app);

    if (parser.isSet(handshake)) {
        const QByteArray line = handshakeJson() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (parser.isSet(recover))
        return SystemProxy().recoverLeftover() ? 0 : 1;
    if (!parser.isSet(socket) || parser.value(socket).isEmpty()) {
        std::fputs("wrenlow-tunnel: give --handshake, --recover-system-proxy or --socket <path>\n", stderr);
        return 2;
    }

    // First, so that a signal during start-up is handled like any other, with a clean exit.
    SignalWatcher signalWatcher({ SIGTERM, SIGINT, SIGHUP });

    TunnelService service;
    TunnelServer server(parser.value(socket), &service);
    QObject::connect(&signalWatcher, &SignalWatcher::received, &server, &TunnelServer::terminate);
    QObject::connect(&server, &TunnelServer::finished, &app, [](int exitCode) { QCoreApplication::exit(exitCode); });
    // Listening comes first: the application gives a tunnel it launched only a few seconds to answer,
    // and the desktop's tools can take longer than that.
    if (!server.listen())
        return 1;
    // A tunnel that was killed left the desktop pointing at a proxy that is gone. Before the event
    // loop runs, so no client's request, which may apply new settings, is read before it is done.
    SystemProxy().recoverLeftover();
    return QCoreApplication::exec();
}
