#include "app/catalogue/groupcollection.h"
#include "core/catalogue/server.h"
#include "core/foundation/defaultsstore.h"
#include "httpserver.h"
#include "testpeers.h"
#include "testregistry.h"
#include "testsettings.h"
#include "tunnelprocesses.h"
#include "uidriverclient.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

// The shipped program, started as a user starts it: offscreen, over a private home, against a real
// Shadowsocks server on loopback.
namespace {

constexpr int patience = 20000;

const auto connectedLine = u"VPN Manager: Status changed: Connected"_s;
const auto launchedLine = u"Started the tunnel program"_s;

} // namespace

class StartupTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    peers::ProxyPeer m_peer;
    TestHttpServer m_site;
    quint16 m_proxyPort = 0;
    std::unique_ptr<QProcess> m_app;
    QString m_output;

    QString socketPath() const { return m_home->filePath(u"run/net.quorvel.wrenlow/tunnel.sock"_s); }
    QString driverPath() const { return m_home->filePath(u"driver.sock"_s); }

    // One command to the program's UI driver and its answer; empty while the driver does not answer.
    QString ask(const QString &command) const { return askUiDriver(driverPath(), command); }
    // The text a widget shows, as the driver reports it ("ok <visible> <enabled> <checked> <text>").
    QString textOf(const QString &name) const { return ask(u"find "_s + name).section(u' ', 4); }

    // What the user left stored: one Shadowsocks server, selected, and the HTTP proxy on a free port.
    void storeUserData(bool connectOnStart)
    {
        DefaultsStore store(m_home->filePath(u"config/wrenlow"_s));
        if (!store.data(u"groups"_s)) {
            GroupCollection groups(store);
            groups.addServer(std::make_shared<Server>(u"Loopback"_s,
                ShadowsockSettings { u"127.0.0.1"_s, m_peer.port(), ShadowsocksCipher::aes256Gcm, u"pw"_s }, false));
        }
        AppSettings settings = loopbackSettings();
        settings.network.httpProxyPort = m_proxyPort;
        settings.general.connectOnStart = connectOnStart;
        settings.save(store);
    }

    void startApp(const QStringList &arguments = {})
    {
        m_output.clear();
        m_app = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        environment.insert(u"HOME"_s, m_home->path());
        environment.insert(u"XDG_CONFIG_HOME"_s, m_home->filePath(u"config"_s));
        environment.insert(u"XDG_RUNTIME_DIR"_s, m_home->filePath(u"run"_s));
        environment.insert(u"WRENLOW_UI_DRIVER"_s, driverPath());
        environment.insert(u"QT_LOGGING_RULES"_s, u"net.quorvel.wrenlow.main.debug=true"_s);
        // No desktop whose proxy settings the recovery could touch.
        environment.remove(u"XDG_CURRENT_DESKTOP"_s);
        m_app->setProcessEnvironment(environment);
        m_app->setProcessChannelMode(QProcess::MergedChannels);
        connect(m_app.get(), &QProcess::readyRead, this, [this] { m_output += QString::fromUtf8(m_app->readAll()); });
        m_app->start(QStringLiteral(WRENLOW_APP_PATH), arguments);
        QVERIFY2(m_app->waitForStarted(), qPrintable(m_app->errorString()));
    }

    // Kills the program as a crash would; the tunnel it started runs on.
    void killApp()
    {
        if (!m_app)
            return;
        m_app->kill();
        m_app->waitForFinished();
        m_app.reset();
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_home->path()).mkpath(u"run"_s));
        QFile::setPermissions(m_home->filePath(u"run"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY2(m_peer.startShadowsocks(ShadowsocksCipher::aes256Gcm, u"pw"_s), qPrintable(m_peer.errorString()));
        QVERIFY(m_site.start());
        m_proxyPort = freePort();
    }

    void cleanup()
    {
        killApp();
        while (const qint64 pid = tunnelPidAt(socketPath())) {
            ::kill(pid_t(pid), SIGTERM);
            QTRY_VERIFY_WITH_TIMEOUT(!processRuns(pid), 10000);
        }
        m_peer.stop();
        m_home.reset();
    }

    // Connect-on-start with a server selected: the tunnel comes up with no user action and carries
    // traffic through its HTTP proxy. Started again while that tunnel runs, the program finds it and
    // shows it connected, without launching another.
    void connectsOnStartAndFindsTheTunnelLater()
    {
        storeUserData(true);
        startApp();
        QTRY_VERIFY2_WITH_TIMEOUT(m_output.contains(connectedLine), qPrintable(m_output), patience);
        QVERIFY(m_output.contains(launchedLine));
        const peers::Fetched fetched = peers::fetchThroughProxy(m_site.url(u"/"_s), m_proxyPort);
        QVERIFY2(fetched.succeeded(), qPrintable(fetched.errorString));
        QCOMPARE(fetched.body, TestHttpServer::page());
        const qint64 tunnel = tunnelPidAt(socketPath());
        QVERIFY(tunnel > 0);
        killApp();

        storeUserData(false);
        startApp();
        QTRY_VERIFY2_WITH_TIMEOUT(m_output.contains(connectedLine), qPrintable(m_output), patience);
        QVERIFY2(!m_output.contains(launchedLine), qPrintable(m_output));
        QCOMPARE(tunnelPidAt(socketPath()), tunnel);
    }

    // A person's session with the window and the tray: the switch connects and the graph follows
    // the traffic, a second start only brings the window back, the switch disconnects, and Quit
    // from the tray leaves no tunnel carrying traffic.
    void drivenFromTheWindowAndTheTray()
    {
        storeUserData(false);
        startApp();
        // Enabled once the tunnel program answered.
        QTRY_VERIFY_WITH_TIMEOUT(ask(u"find proxy-switch"_s).startsWith(u"ok 1 1 0"_s), patience);
        QCOMPARE(textOf(u"vpn-status"_s), u"Not connected"_s);
        const QString idle = textOf(u"received-speed"_s);

        QCOMPARE(ask(u"click proxy-switch"_s), u"ok"_s);
        QTRY_COMPARE_WITH_TIMEOUT(textOf(u"vpn-status"_s), u"Connected"_s, patience);
        // Traffic until the graph's next refresh has seen some.
        QTRY_VERIFY_WITH_TIMEOUT(peers::fetchThroughProxy(m_site.url(u"/"_s), m_proxyPort).succeeded()
                && textOf(u"received-speed"_s) != idle,
            patience);
        QCOMPARE(ask(u"find tray-status"_s).section(u' ', 4), u"Status: Connected"_s);
        // A picture of the window as it is on screen.
        const QString picture = m_home->filePath(u"window.png"_s);
        QCOMPARE(ask(u"grab main-window "_s + picture), u"ok"_s);
        QCOMPARE(QImage(picture).size(), QSize(420, 570));

        // Started again: the running program shows its window, the new process leaves at once.
        QProcess second;
        second.setProcessEnvironment(m_app->processEnvironment());
        second.start(QStringLiteral(WRENLOW_APP_PATH), {});
        QVERIFY(second.waitForFinished(patience));
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(ask(u"find main-window"_s).startsWith(u"ok 1 "_s));

        QCOMPARE(ask(u"click proxy-switch"_s), u"ok"_s);
        QTRY_COMPARE_WITH_TIMEOUT(textOf(u"vpn-status"_s), u"Not connected"_s, patience);
        QVERIFY(!peers::fetchThroughProxy(m_site.url(u"/"_s), m_proxyPort, 2000).succeeded());

        QCOMPARE(ask(u"click tray-quit"_s), u"ok"_s);
        QVERIFY(m_app->waitForFinished(patience));
        QCOMPARE(m_app->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_app->exitCode(), 0);
    }
};

WRENLOW_TEST(StartupTest)
#include "tst_startup.moc"
