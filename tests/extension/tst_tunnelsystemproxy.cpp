// The desktop's proxy settings follow the real tunnel program, and come back however it ends.
#include "testregistry.h"
#include "tunnelharness.h"

#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

using namespace tunneltest;

namespace {

QString gsettings(const TunnelProcess &tunnel, const QStringList &arguments)
{
    QProcess tool;
    tool.setProcessEnvironment(tunnel.environment());
    tool.start(QStringLiteral("gsettings"), arguments);
    if (!tool.waitForFinished(10000))
        return QStringLiteral("<no answer>");
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

QString proxyMode(const TunnelProcess &tunnel)
{
    return gsettings(
        tunnel, { QStringLiteral("get"), QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode") });
}

QString proxyPort(const TunnelProcess &tunnel)
{
    return gsettings(
        tunnel, { QStringLiteral("get"), QStringLiteral("org.gnome.system.proxy.http"), QStringLiteral("port") });
}

BackendConfiguration withSystemProxy(bool on)
{
    BackendConfiguration backend = backendFor(QStringLiteral("127.0.0.1"), 8388);
    backend.appSettings.network.systemProxy = on;
    return backend;
}

} // namespace

class TunnelSystemProxyTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty())
            QSKIP("needs gsettings (Debian packages libglib2.0-bin and gsettings-desktop-schemas)");
    }

    void desktopFollowsTheTunnel_data()
    {
        QTest::addColumn<QString>("ending");
        for (const char *ending :
            { "stop", "SIGTERM", "SIGHUP", "engine killed", "tunnel killed", "killed, recovery run" })
            QTest::newRow(ending) << QString::fromLatin1(ending);
    }

    void desktopFollowsTheTunnel()
    {
        QFETCH(QString, ending);
        TunnelProcess tunnel;
        // The user's own choice, which must come back exactly.
        gsettings(tunnel,
            { QStringLiteral("set"), QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode"),
                QStringLiteral("'auto'") });
        QCOMPARE(proxyMode(tunnel), QStringLiteral("'auto'"));

        QVERIFY(tunnel.launch());
        TunnelClient app;
        QVERIFY(app.connectTo(tunnel.socketPath()));
        const BackendConfiguration backend = withSystemProxy(true);
        const auto started = app.waitForAnswer(app.send(ipc::Kind::start, providerPayload(backend)));
        QVERIFY(started);
        QCOMPARE(TunnelClient::statusOf(*started), 3);
        QCOMPARE(proxyMode(tunnel), QStringLiteral("'manual'"));
        QCOMPARE(proxyPort(tunnel), QString::number(backend.appSettings.network.httpProxyPort));

        const qint64 pid = tunnel.process().processId();
        if (ending == QStringLiteral("stop"))
            app.send(ipc::Kind::stop, QByteArray());
        else if (ending == QStringLiteral("SIGTERM"))
            ::kill(pid_t(pid), SIGTERM);
        else if (ending == QStringLiteral("SIGHUP"))
            ::kill(pid_t(pid), SIGHUP);
        else if (ending == QStringLiteral("engine killed"))
            ::kill(pid_t(childProcesses(pid).value(0)), SIGKILL);
        else
            ::kill(pid_t(pid), SIGKILL);
        const bool killed = ending.contains(QStringLiteral("killed,")) || ending == QStringLiteral("tunnel killed");
        // Whoever sees the tunnel gone finds the user's settings back already.
        QVERIFY(app.waitForDisconnected());
        if (!killed)
            QCOMPARE(proxyMode(tunnel), QStringLiteral("'auto'"));
        QVERIFY(tunnel.waitForExit());

        if (ending == QStringLiteral("tunnel killed")) {
            // Nobody could restore; the next tunnel does, before anything else.
            QCOMPARE(proxyMode(tunnel), QStringLiteral("'manual'"));
            QVERIFY(tunnel.launch());
            QTRY_COMPARE(proxyMode(tunnel), QStringLiteral("'auto'"));
            QTRY_VERIFY(QFile::exists(tunnel.socketPath()));
            QCOMPARE(tunnel.terminateAndWait(), 0);
        } else if (killed) {
            // What the app starts at launch: the recovery alone, which exits when done.
            QCOMPARE(proxyMode(tunnel), QStringLiteral("'manual'"));
            QProcess recovery;
            recovery.setProcessEnvironment(tunnel.environment());
            recovery.start(QStringLiteral(WRENLOW_TUNNEL_PATH), { QStringLiteral("--recover-system-proxy") });
            QVERIFY(recovery.waitForFinished(15000));
            QCOMPARE(recovery.exitCode(), 0);
        }
        QCOMPARE(proxyMode(tunnel), QStringLiteral("'auto'"));
    }

    // The switch is followed while the tunnel runs; off, the desktop is never touched.
    void switchIsFollowedWhileRunning()
    {
        TunnelProcess tunnel;
        QVERIFY(tunnel.launch());
        TunnelClient app;
        QVERIFY(app.connectTo(tunnel.socketPath()));
        BackendConfiguration backend = withSystemProxy(false);
        QVERIFY(app.waitForAnswer(app.send(ipc::Kind::start, providerPayload(backend))));
        QCOMPARE(proxyMode(tunnel), QStringLiteral("'none'"));

        backend.appSettings.network.systemProxy = true;
        QVERIFY(app.ask(TunnelRequests::ChangeNetworkSettings { backend.appSettings.network })
            == TunnelRequestResult(TunnelResults::Success {}));
        QCOMPARE(proxyMode(tunnel), QStringLiteral("'manual'"));

        backend.appSettings.network.systemProxy = false;
        QVERIFY(app.ask(TunnelRequests::ChangeNetworkSettings { backend.appSettings.network })
            == TunnelRequestResult(TunnelResults::Success {}));
        QCOMPARE(proxyMode(tunnel), QStringLiteral("'none'"));
        QCOMPARE(tunnel.terminateAndWait(), 0);
    }
};

WRENLOW_TEST(TunnelSystemProxyTest)
#include "tst_tunnelsystemproxy.moc"
