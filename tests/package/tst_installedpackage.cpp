// The installed package, used in the Debian root scripts/test-package made and installed it into
// (WRENLOW_PACKAGE_ROOT): the programs run from their installed places, find each other, and move
// traffic. Run as root, as chroot needs.

#include "app/catalogue/groupcollection.h"
#include "core/catalogue/server.h"
#include "core/foundation/defaultsstore.h"
#include "core/settings/appsettings.h"
#include "httpserver.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelprocesses.h"
#include "uidriverclient.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

QString packageRoot()
{
    return qEnvironmentVariable("WRENLOW_PACKAGE_ROOT");
}

// A program of the package, run inside the root with a home and runtime directory of its own.
void startInRoot(QProcess &process, const QStringList &command)
{
    QProcessEnvironment environment;
    environment.insert(u"PATH"_s, u"/usr/bin:/bin:/usr/sbin:/sbin"_s);
    environment.insert(u"HOME"_s, u"/root"_s);
    environment.insert(u"XDG_RUNTIME_DIR"_s, u"/run/package-test"_s);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"WRENLOW_UI_DRIVER"_s, u"/run/package-test/driver.sock"_s);
    environment.insert(u"QT_LOGGING_RULES"_s, u"net.quorvel.wrenlow.main.debug=true"_s);
    process.setProcessEnvironment(environment);
    process.start(u"chroot"_s, QStringList { packageRoot() } + command);
}

// One command to the running program's test driver; true when it answers "ok".
bool drive(const QString &command)
{
    return askUiDriver(packageRoot() + u"/run/package-test/driver.sock"_s, command).startsWith(u"ok"_s);
}

} // namespace

class TestInstalledPackage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (packageRoot().isEmpty())
            QSKIP("scripts/test-package runs this in the root it installed the package into");
        QVERIFY(QDir().mkpath(packageRoot() + u"/run/package-test"_s));
        QFile::setPermissions(
            packageRoot() + u"/run/package-test"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // The installed program, started with a server stored and "Connect on start" on, finds its tunnel
    // program in libexec, which runs the installed v2ray: a page comes through the HTTP proxy and a
    // Shadowsocks server. "Start at login" writes an entry that starts the installed program.
    void installedProgramConnects()
    {
        peers::ProxyPeer server;
        QVERIFY2(server.startShadowsocks(ShadowsocksCipher::chacha20Poly1305, u"secret"_s),
            qPrintable(server.errorString()));
        TestHttpServer site;
        QVERIFY(site.start());
        site.route("/", "through the package\n");
        AppSettings settings = loopbackSettings();
        settings.general.connectOnStart = true;
        {
            DefaultsStore store(packageRoot() + u"/root/.config/wrenlow"_s);
            GroupCollection(store).addServer(std::make_shared<Server>(u"Loopback"_s,
                ShadowsockSettings { u"127.0.0.1"_s, server.port(), ShadowsocksCipher::chacha20Poly1305, u"secret"_s },
                false));
            settings.save(store);
        }

        QProcess app;
        app.setProcessChannelMode(QProcess::MergedChannels);
        startInRoot(app, { u"/usr/bin/wrenlow"_s });
        QByteArray log;
        const auto fetched = [&] {
            log += app.readAll();
            return peers::fetchThroughProxy(site.url(u"/"_s), quint16(settings.network.httpProxyPort), 2000);
        };
        QTRY_VERIFY2_WITH_TIMEOUT(fetched().body == "through the package\n", log.constData(), 40000);
        QVERIFY2(log.contains("Checking the tunnel program at /usr/libexec/wrenlow/wrenlow-tunnel"), log.constData());

        QVERIFY(drive(u"click tray-settings"_s));
        QVERIFY(drive(u"click start-at-login"_s));
        QFile entry(packageRoot() + u"/root/.config/autostart/net.quorvel.wrenlow.desktop"_s);
        QTRY_VERIFY(entry.exists());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QVERIFY(entry.readAll().contains("\nExec=/usr/bin/wrenlow\n"));

        // The tunnel outlives the program, as it does for a user; it ends cleanly on its own signal.
        app.kill();
        app.waitForFinished();
        const qint64 tunnel = tunnelPidAt(packageRoot() + u"/run/package-test/net.quorvel.wrenlow/tunnel.sock"_s);
        QVERIFY(tunnel > 0);
        ::kill(pid_t(tunnel), SIGTERM);
        QTRY_VERIFY(!processRuns(tunnel));
    }
};

WRENLOW_TEST(TestInstalledPackage)
#include "tst_installedpackage.moc"
