#include "engine/engineconfig.h"
#include "engine/engineprocess.h"
#include "testpeers.h"
#include "testregistry.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

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

    void deathIsReported()
    {
        EngineProcess engine(QStringLiteral("v2ray"));
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy exited(&engine, &EngineProcess::exited);
        engine.start(proxyConfiguration(freePort()));
        QVERIFY(started.wait(10000));
        ::kill(pid_t(engine.processId()), SIGKILL);
        QVERIFY(exited.wait(10000));
        QCOMPARE(exited.first().first().toString(), QStringLiteral("the engine was killed"));
        QVERIFY(!engine.isRunning());
    }
};

WRENLOW_TEST(EngineProcessTest)
#include "tst_engineprocess.moc"
