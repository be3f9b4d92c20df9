#include "engine/engineconfig.h"
#include "engine/engineprocess.h"
#include "testpeers.h"
#include "testregistry.h"

#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

// The real engine as the tunnel runs it, on loopback ports only.
namespace {

QByteArray proxyConfiguration(quint16 httpPort)
{
    BackendConfiguration backend { ShadowsockSettings { QStringLiteral("127.0.0.1"), 9, ShadowsocksCipher::aes256Gcm,
                                       QStringLiteral("engine-secret") },
        AppSettings {} };
    backend.appSettings.network = NetworkSettings { false, true, false, httpPort };
    return QByteArray::fromStdString(makeEngineConfig(backend, {}).document.dump());
}

// Keeps every log line written while it lives.
class LogRecorder final {
public:
    LogRecorder()
    {
        s_lines.clear();
        s_previous = qInstallMessageHandler(&LogRecorder::record);
    }
    ~LogRecorder() { qInstallMessageHandler(s_previous); }
    Q_DISABLE_COPY_MOVE(LogRecorder)

    static QString all() { return s_lines.join(u'\n'); }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        s_lines.append(message);
        if (s_previous)
            s_previous(type, context, message);
    }
    static inline QtMessageHandler s_previous = nullptr;
    static inline QStringList s_lines;
};

bool portAcceptsConnections(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}

} // namespace

class EngineProcessTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runsAndStopsBeforeReturning()
    {
        const quint16 port = freePort();
        EngineProcess engine(QStringLiteral("v2ray"));
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy failed(&engine, &EngineProcess::failed);
        engine.start(proxyConfiguration(port));
        QVERIFY(started.wait(10000));
        QVERIFY(failed.isEmpty());
        QVERIFY(portAcceptsConnections(port));

        // The secrets went through the pipe, not where other users can read them.
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(engine.processId()));
        QVERIFY(commandLine.open(QIODevice::ReadOnly));
        QVERIFY(!commandLine.readAll().contains("engine-secret"));

        engine.stop();
        QVERIFY(!engine.isRunning());
        // Free at once: a successor engine can bind the same port.
        QTcpServer successor;
        QVERIFY(successor.listen(QHostAddress::LocalHost, port));
    }

    void startFailuresCarryTheEnginesReason_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("configuration");
        QTest::addColumn<QString>("reason");
        const QString v2ray = QStringLiteral("v2ray");
        QTest::newRow("configuration refused")
            << v2ray << QByteArray(R"({"outbounds":[{"protocol":"vless","settings":{"vnext":[]}}]})")
            << QStringLiteral("VLESS settings: \"vnext\" is empty");
        QTest::newRow("not JSON") << v2ray << QByteArray("{")
                                  << QStringLiteral("failed to read config file > unexpected EOF");
        QTest::newRow("no engine") << QStringLiteral("/nonexistent/v2ray") << QByteArray("{}")
                                   << QStringLiteral("the engine /nonexistent/v2ray could not be started");
    }

    void startFailuresCarryTheEnginesReason()
    {
        QFETCH(QString, program);
        QFETCH(QByteArray, configuration);
        QFETCH(QString, reason);
        EngineProcess engine(program);
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy failed(&engine, &EngineProcess::failed);
        engine.start(configuration);
        QVERIFY(failed.wait(10000));
        QVERIFY(started.isEmpty());
        const QString actual = failed.first().first().toString();
        QVERIFY2(actual.contains(reason), qPrintable(actual));
    }

    // After a request the engine could not carry out, its warning names the site; a kill is still a kill.
    void deathIsReportedWithoutTheSitesVisited()
    {
        LogRecorder log;
        const quint16 port = freePort();
        EngineProcess engine(QStringLiteral("v2ray"));
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy exited(&engine, &EngineProcess::exited);
        engine.start(proxyConfiguration(port));
        QVERIFY(started.wait(10000));
        QTcpSocket visit;
        visit.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(visit.waitForConnected(5000));
        visit.write("GET http://visited.example/ HTTP/1.1\r\nHost: visited.example\r\n\r\n");
        // The server is not there (port 9): the engine gives up on the request and says so.
        QVERIFY(visit.waitForDisconnected(10000));
        QTest::qWait(200);
        ::kill(pid_t(engine.processId()), SIGKILL);
        QVERIFY(exited.wait(10000));
        QCOMPARE(exited.first().first().toString(), QStringLiteral("the engine was killed"));
        QVERIFY(!engine.isRunning());
        QVERIFY2(!LogRecorder::all().contains(u"visited.example"), qPrintable(LogRecorder::all()));
    }

    // Engines that print what a real one prints and end; only their own failure lines are the reason.
    void reasonIsTheEnginesOwnFailure_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reason");
        const QByteArray started = "2026/12/07 03:05:14 [Warning] v2ray.com/core: V2Ray 4.34.0 started\n";
        const QByteArray warning = "2026/12/07 03:05:16 [Warning] [1094183812] v2ray.com/core/proxy/http: failed to "
                                   "read response from visited.example > io: read/write on closed pipe\n";
        QTest::newRow("a warning is no reason") << started + warning << 3 << u"the engine exited with code 3"_s;
        QTest::newRow("an error line, destinations removed")
            << started
                + "2026/12/07 03:05:17 [Error] v2ray.com/core/app/dns: failed to look up visited.example at "
                  "203.0.113.7:53 and [2001:db8::1]:53 via https://dns.example/q > lookup 2001:db8::2\n"
                + warning
            << 1
            << u"v2ray.com/core/app/dns: failed to look up <host> at <address> and <address> via <url> > lookup "
               "<address>"_s;
        QTest::newRow("a panic") << started + warning + "panic: runtime error: index out of range [3] with length 3\n"
                + "\ngoroutine 1 [running]:\nmain.main()\n"
                                 << 2 << u"panic: runtime error: index out of range [3] with length 3"_s;
        QTest::newRow("a failed start, last line unended")
            << QByteArray("Failed to start v2ray.com/core/app/proxyman/inbound: failed to listen TCP on 127.0.0.1:1080")
            << 255 << u"Failed to start v2ray.com/core/app/proxyman/inbound: failed to listen TCP on <address>"_s;
        // An overlong line is cut, not gathered whole.
        const QByteArray overlong = "Failed to start: failed ";
        QTest::newRow("an overlong line")
            << overlong + QByteArray(4 * 1024 * 1024, 'x') + "\n"
            << 1 << QString::fromLatin1(overlong) + QString(EngineProcess::maximumLineLength - overlong.size(), u'x');
    }

    void reasonIsTheEnginesOwnFailure()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QFile printed(dir.filePath(u"output"_s));
        QVERIFY(printed.open(QIODevice::WriteOnly));
        printed.write(output);
        printed.close();
        QFile script(dir.filePath(u"engine"_s));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\ncat '%1'\nexit %2\n").arg(printed.fileName()).arg(exitCode).toUtf8());
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        script.close();

        LogRecorder log;
        EngineProcess engine(script.fileName());
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy failed(&engine, &EngineProcess::failed);
        QSignalSpy exited(&engine, &EngineProcess::exited);
        engine.start("{}");
        QVERIFY(QTest::qWaitFor([&] { return !failed.isEmpty() || !exited.isEmpty(); }, 10000));
        // Whether it ended before or after saying it started, the reason is the same.
        QCOMPARE((started.isEmpty() ? failed : exited).first().first().toString(), reason);
        for (const char *destination : { "visited.example", "203.0.113.7", "2001:db8::", "dns.example" })
            QVERIFY2(!LogRecorder::all().contains(QLatin1String(destination)), destination);
    }
};

WRENLOW_TEST(EngineProcessTest)
#include "tst_engineprocess.moc"
