// The transparent proxy's helper as far as it goes without root: what it refuses, and what the user
// is told through the engine process when interception cannot start or ends. The transparent proxy
// suite runs it for real, in network namespaces.
#include "engine/engineprocess.h"
#include "interception/interceptionlaunch.h"
#include "interception/policyrouting.h"
#include "testregistry.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

class InterceptionTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        qunsetenv("WRENLOW_INTERCEPT_LAUNCHER");
        qunsetenv("WRENLOW_INTERCEPT_HELPER");
    }

    // It takes nothing but a port and framed configurations.
    void helperRefusesWhatItDoesNotTake_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        const QStringList port { u"--port"_s, u"1"_s };
        QTest::newRow("port 0") << QStringList { u"--port"_s, u"0"_s } << "2\n{}"_ba;
        QTest::newRow("another option") << port + QStringList { u"--rules"_s, u"x"_s } << "2\n{}"_ba;
        QTest::newRow("signed port") << QStringList { u"--port"_s, u"+1"_s } << "2\n{}"_ba;
        QTest::newRow("count not a number") << port << "12x\n"_ba;
        QTest::newRow("host name for an address") << port << "2 host.example\n{}"_ba;
        QTest::newRow("count past the limit") << port << "999999999\n{}"_ba;
    }

    void helperRefusesWhatItDoesNotTake()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QProcess helper;
        helper.start(QStringLiteral(WRENLOW_INTERCEPT_PATH), arguments);
        helper.write(input);
        helper.closeWriteChannel();
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 2);
    }

    // Scripts stand in for pkexec and the helper. What the user is told, from `failed` before a
    // start and from `exited` after one; nothing when it starts.
    void helperFailuresAreTold_data()
    {
        QTest::addColumn<QByteArray>("launcher");
        QTest::addColumn<QByteArray>("helper");
        QTest::addColumn<QString>("told");
        const QByteArray passThrough = "exec \"$@\"";
        // Keeps its arguments and the framed configuration, then acts as the engine until its
        // input closes.
        const QByteArray helper = "dir=$(dirname \"$0\"); echo \"$@\" > \"$dir/arguments\"; "
                                  "read -r count servers; echo \"$servers\" >> \"$dir/arguments\"; "
                                  "head -c \"$count\" > \"$dir/configuration\"; "
                                  "echo 'wrenlow-intercept engine process 4242'; echo 'V2Ray 4.34.0 started'; "
                                  "cat >/dev/null; echo stopped > \"$dir/stopped\"";
        const auto row = [](const char *name, const QByteArray &launcher, const QByteArray &helper,
                             const QString &why) {
            QTest::newRow(name) << launcher << helper
                                << u"transparent proxying could not start: %1; the HTTP proxy works without it"_s.arg(
                                       why);
        };
        const QString refused = u"permission was refused, or no authentication agent could ask for it"_s;
        row("dismissed", "exit 126", helper, u"the request for permission was dismissed"_s);
        row("refused", "exit 127", helper, refused);
        row("no pkexec", {}, helper, u"/nonexistent/pkexec is not installed, so it cannot ask for permission"_s);
        row("no helper", passThrough, {}, u"its helper /nonexistent/helper is missing"_s);
        row("helper fails", passThrough,
            "echo 'wrenlow-intercept: the interception rules were refused: Error: no such table 203.0.113.7' >&2; "
            "exit 1",
            u"the interception rules were refused: Error: no such table <address>"_s);
        // The real one, for a user it cannot ask: no agent (or no polkit daemon) to ask with.
        if (geteuid() == 0 && !QStandardPaths::findExecutable(u"pkexec"_s).isEmpty())
            row("real pkexec", "exec setpriv --reuid=65534 --regid=65534 --clear-groups pkexec \"$@\"", helper,
                refused);
        QTest::newRow("ends after its start")
            << passThrough << "echo 'V2Ray 4.34.0 started'; sleep 0.2; echo 'wrenlow-intercept: the engine went' >&2"_ba
            << u"transparent proxying stopped: the engine went"_s;
        QTest::newRow("starts") << passThrough << helper << QString();
    }

    void helperFailuresAreTold()
    {
        QFETCH(QByteArray, launcher);
        QFETCH(QByteArray, helper);
        QFETCH(QString, told);
        QTemporaryDir dir;
        const auto script = [&](const QString &name, const QByteArray &body) -> QString {
            if (body.isEmpty())
                return u"/nonexistent/"_s + name;
            QFile file(dir.filePath(name));
            file.open(QIODevice::WriteOnly);
            file.write("#!/bin/sh\n" + body + '\n');
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            return file.fileName();
        };
        const auto written = [&](const QString &name) {
            QFile file(dir.filePath(name));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : "<none>"_ba;
        };
        qputenv("WRENLOW_INTERCEPT_LAUNCHER", script(u"pkexec"_s, launcher).toLocal8Bit());
        qputenv("WRENLOW_INTERCEPT_HELPER", script(u"helper"_s, helper).toLocal8Bit());
        EngineProcess engine(interceptionLaunch(12345, { QHostAddress(u"203.0.113.7"_s) }));
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy failed(&engine, &EngineProcess::failed);
        QSignalSpy exited(&engine, &EngineProcess::exited);
        engine.start("{\"log\":{}}\n");
        QTRY_VERIFY(!failed.isEmpty() || !exited.isEmpty() || (told.isEmpty() && !started.isEmpty()));
        if (!told.isEmpty()) {
            QCOMPARE((failed.isEmpty() ? exited : failed).first().first().toString(), told);
            QCOMPARE(failed.isEmpty(), !started.isEmpty());
            QVERIFY(failed.isEmpty() || failed.first().last().toBool());
            return;
        }
        QCOMPARE(written(u"arguments"_s), "--port 12345\n203.0.113.7\n");
        QCOMPARE(written(u"configuration"_s), "{\"log\":{}}\n");
        // The memory line reads the engine's process, not the helper's.
        QCOMPARE(engine.processId(), 4242);
        // Stopped, the helper is asked through its input and ends by itself.
        engine.stop();
        QCOMPARE(written(u"stopped"_s), "stopped\n");
        QVERIFY(exited.isEmpty() && failed.isEmpty());
    }

    // A failing command is reported with what failed.
    void policyRoutingReportsAFailure()
    {
        PolicyRouting routing(u"/nonexistent/ip"_s);
        QVERIFY(routing.install().startsWith(u"ip -4 rule add fwmark 0x77"_s));
    }
};

WRENLOW_TEST(InterceptionTest)
#include "tst_interception.moc"
