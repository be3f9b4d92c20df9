#include "engine/engineprocess.h"
#include "testregistry.h"
#include "tunnelprocesses.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// The real engine refusing what it cannot run, and scripts that print what it prints.
namespace {

QStringList logged;

void record(QtMsgType, const QMessageLogContext &, const QString &message)
{
    logged.append(message);
}

} // namespace

class EngineProcessTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The installed engine accepts every reviewed configuration meant for it (the engine-configuration
    // suite checks that they are what the program generates).
    void goldenConfigurationsPassTheEnginesCheck_data()
    {
        QTest::addColumn<QString>("path");
        const QDir golden(QStringLiteral(WRENLOW_TESTS_DIR "/extension/engine/golden"));
        for (const QString &name : golden.entryList({ u"*.json"_s })) {
            if (!name.contains(u"xray"_s))
                QTest::newRow(qPrintable(name)) << golden.filePath(name);
        }
        // Not an empty table: the folder must be where the build says.
        QVERIFY(golden.exists(u"shadowsocks.json"_s));
    }

    void goldenConfigurationsPassTheEnginesCheck()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QProcess check;
        check.start(u"v2ray"_s, { u"-test"_s, u"-config"_s, u"stdin:"_s });
        QVERIFY(check.waitForStarted());
        check.write(file.readAll());
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(30000));
        const QByteArray output = check.readAll();
        QVERIFY2(check.exitCode() == 0 && output.contains("Configuration OK"), output.constData());
    }

    void startFailuresCarryTheEnginesReason_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("configuration");
        QTest::addColumn<QString>("reason");
        QTest::newRow("configuration refused")
            << u"v2ray"_s << R"({"outbounds":[{"protocol":"vless","settings":{"vnext":[]}}]})"_ba
            << u"VLESS settings: \"vnext\" is empty"_s;
        QTest::newRow("no engine") << u"/nonexistent/v2ray"_s << "{}"_ba
                                   << u"the engine /nonexistent/v2ray could not be started"_s;
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
        QVERIFY2(failed.first().first().toString().contains(reason), qPrintable(failed.first().first().toString()));
    }

    // An engine that neither starts nor ends is ended when its time is up.
    void aStartThatHangsIsEnded()
    {
        QTemporaryDir dir;
        QFile script(dir.filePath(u"engine"_s));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nexec sleep 60\n");
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        script.close();
        EngineProcess engine(script.fileName());
        QSignalSpy failed(&engine, &EngineProcess::failed);
        engine.start("{}", std::chrono::milliseconds(300));
        const qint64 pid = engine.processId();
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.first().first().toString(), u"the engine did not start in time"_s);
        QVERIFY(!processRuns(pid));
    }

    // Only the engine's own failure lines are the reason, without the destinations, in the reason and
    // in the log; a line is gathered up to a cap, not whole.
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
            << "Failed to start v2ray.com/core/app/proxyman/inbound: failed to listen TCP on 127.0.0.1:1080"_ba << 255
            << u"Failed to start v2ray.com/core/app/proxyman/inbound: failed to listen TCP on <address>"_s;
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
        script.write(u"#!/bin/sh\ncat '%1'\nexit %2\n"_s.arg(printed.fileName()).arg(exitCode).toUtf8());
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        script.close();

        logged.clear();
        const QtMessageHandler previous = qInstallMessageHandler(record);
        EngineProcess engine(script.fileName());
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy failed(&engine, &EngineProcess::failed);
        QSignalSpy exited(&engine, &EngineProcess::exited);
        engine.start("{}");
        const bool ended = QTest::qWaitFor([&] { return !failed.isEmpty() || !exited.isEmpty(); }, 10000);
        qInstallMessageHandler(previous);
        QVERIFY(ended);
        // Whether it ended before or after saying it started, the reason is the same.
        QCOMPARE((started.isEmpty() ? failed : exited).first().first().toString(), reason);
        for (const char *destination : { "visited.example", "203.0.113.7", "2001:db8::", "dns.example" })
            QVERIFY2(!logged.join(u'\n').contains(QLatin1String(destination)), destination);
    }
};

WRENLOW_TEST(EngineProcessTest)
#include "tst_engineprocess.moc"
