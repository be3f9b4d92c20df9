#include "engine/engineprocess.h"
#include "interception/interceptionlaunch.h"
#include "interception/policyrouting.h"
#include "interception/ruleset.h"
#include "testregistry.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Runs a shell command in a network namespace of its own, so the host's rules are never touched.
std::pair<int, QByteArray> inNamespace(const QString &command)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(u"unshare"_s, { u"-rn"_s, u"sh"_s, u"-c"_s, command });
    if (!process.waitForFinished(30000))
        return { -1, "timed out" };
    return { process.exitCode(), process.readAll() };
}

// The standard output of one `ip` command.
QString ip(const QStringList &arguments)
{
    QProcess process;
    process.start(u"ip"_s, arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Reads the helper's output until its engine says it started; the engine's process, 0 for none.
qint64 startedEngine(QProcess &helper)
{
    QByteArray output;
    while (!output.contains(" started") && helper.waitForReadyRead(10000))
        output += helper.readAll();
    const qsizetype at = output.lastIndexOf("engine process ");
    return at < 0 ? 0 : output.mid(at + 15, output.indexOf('\n', at) - at - 15).toLongLong();
}

// A network namespace of our own with its loopback up, removed with this object.
struct TestNamespace {
    explicit TestNamespace(const QString &purpose)
        : name(u"wrenlow-%1-%2"_s.arg(purpose).arg(QCoreApplication::applicationPid()))
    {
        made = QProcess::execute(u"ip"_s, { u"netns"_s, u"add"_s, name }) == 0
            && QProcess::execute(u"ip"_s, { u"-n"_s, name, u"link"_s, u"set"_s, u"lo"_s, u"up"_s }) == 0;
    }
    ~TestNamespace() { QProcess::execute(u"ip"_s, { u"netns"_s, u"del"_s, name }); }
    Q_DISABLE_COPY_MOVE(TestNamespace)

    // The standard output of an `ip` command run inside.
    QString ipInside(const QStringList &arguments) const { return ip(QStringList { u"-n"_s, name } + arguments); }

    QString name;
    bool made = false;
};

} // namespace

class InterceptionTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        qunsetenv("WRENLOW_INTERCEPT_LAUNCHER");
        qunsetenv("WRENLOW_INTERCEPT_HELPER");
    }

    // nftables takes the table as generated, with IPv6 and without, and server addresses of both
    // families, one inside a skipped range and one twice; and the table goes with the process that
    // made it, so no rule outlives a killed helper.
    void nftablesTakesTheTableAndDropsItWithItsOwner_data()
    {
        QTest::addColumn<bool>("ipv6");
        QTest::newRow("with IPv6") << true;
        QTest::newRow("IPv4 only") << false;
    }

    void nftablesTakesTheTableAndDropsItWithItsOwner()
    {
        QFETCH(bool, ipv6);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(interceptionRuleset(12345, ipv6).toUtf8());
        file.write(serverAddressesUpdate({ QHostAddress(u"203.0.113.7"_s), QHostAddress(u"2001:db8::7"_s),
                                             QHostAddress(u"10.1.2.3"_s), QHostAddress(u"203.0.113.7"_s) })
                       .toUtf8());
        file.flush();

        const auto [checked, checkOutput] = inNamespace(u"nft -c -f "_s + file.fileName());
        QVERIFY2(checked == 0, checkOutput.constData());
        const auto [loaded, listing] = inNamespace(u"nft -f "_s + file.fileName() + u" && nft list tables"_s);
        QVERIFY2(loaded == 0, listing.constData());
        QVERIFY2(!listing.contains("wrenlow"), listing.constData());
    }

    // Installed twice (as after a killed helper), the rule is there once per family with its local
    // route; removed, nothing of ours is left; the host's own rules are never touched.
    void policyRoutingInstallsOnceAndLeavesNothing()
    {
        if (geteuid() != 0)
            QSKIP("needs root to make a network namespace");
        const QString hostRules = ip({ u"rule"_s, u"show"_s }) + ip({ u"-6"_s, u"rule"_s, u"show"_s });
        const TestNamespace space(u"routing"_s);
        QVERIFY(space.made);

        PolicyRouting routing(u"ip"_s, { u"-n"_s, space.name });
        QCOMPARE(routing.install(), QString());
        QCOMPARE(routing.install(), QString());
        for (const QString &family : { u"-4"_s, u"-6"_s }) {
            const QString rules = space.ipInside({ family, u"rule"_s, u"show"_s });
            QCOMPARE(rules.count(u"9233:\tfrom all fwmark 0x77 lookup 233"_s), 1);
            QVERIFY(space.ipInside({ family, u"route"_s, u"show"_s, u"table"_s, u"233"_s })
                        .startsWith(u"local default dev lo"_s));
        }
        routing.remove();
        for (const QString &family : { u"-4"_s, u"-6"_s }) {
            QVERIFY(!space.ipInside({ family, u"rule"_s, u"show"_s }).contains(u"fwmark 0x77"_s));
            QCOMPARE(space.ipInside({ family, u"route"_s, u"show"_s, u"table"_s, u"233"_s }), QString());
        }
        QCOMPARE(ip({ u"rule"_s, u"show"_s }) + ip({ u"-6"_s, u"rule"_s, u"show"_s }), hostRules);
    }

    // The helper holds the table and the rules while its input is open, runs the engine as the
    // calling user with two capabilities and no way to gain more, and removes everything when its
    // input closes, when it is told to stop or when the engine ends. Killed, it leaves no table and
    // no engine, and the next start removes the rules it left. It takes nothing but a port,
    // addresses and a framed configuration.
    void helperInstallsWhileItsInputIsOpen()
    {
        if (geteuid() != 0)
            QSKIP("needs root to make a network namespace");
        const TestNamespace space(u"helper"_s);
        QVERIFY(space.made);
        const QString &name = space.name;
        const auto installed = [&] {
            QProcess nft;
            nft.start(u"ip"_s, { u"netns"_s, u"exec"_s, name, u"nft"_s, u"list"_s, u"tables"_s });
            nft.waitForFinished(10000);
            return std::make_pair(nft.readAllStandardOutput().contains("inet wrenlow"),
                ip({ u"-n"_s, name, u"rule"_s, u"show"_s }).contains(u"fwmark 0x77"_s));
        };
        const QByteArray configuration = R"({"outbounds":[{"protocol":"freedom"}]})";
        QByteArray frame = QByteArray::number(configuration.size()) + '\n' + configuration;
        // Starts the helper for `user` and returns the engine's process once it runs.
        const auto start = [&](QProcess &helper, const QStringList &arguments, const QByteArray &user = {}) -> qint64 {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            if (!user.isEmpty())
                environment.insert(u"PKEXEC_UID"_s, QString::fromLatin1(user));
            helper.setProcessEnvironment(environment);
            helper.setProcessChannelMode(QProcess::MergedChannels);
            helper.start(u"ip"_s,
                QStringList { u"netns"_s, u"exec"_s, name, QStringLiteral(WRENLOW_INTERCEPT_PATH) } + arguments);
            helper.write(frame);
            return startedEngine(helper);
        };
        const auto serverSet = [&] {
            return ip(
                { u"netns"_s, u"exec"_s, name, u"nft"_s, u"list"_s, u"set"_s, u"inet"_s, u"wrenlow"_s, u"server4"_s });
        };
        const auto status = [](qint64 pid) {
            QFile file(u"/proc/%1/status"_s.arg(pid));
            return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
        };

        QProcess helper;
        const QByteArray plain = frame;
        frame = QByteArray::number(configuration.size()) + " 203.0.113.7 2001:db8::7\n" + configuration;
        qint64 engine = start(helper, { u"--port"_s, u"12345"_s }, "65534");
        QVERIFY(engine > 0);
        QCOMPARE(installed(), std::make_pair(true, true));
        QVERIFY(serverSet().contains(u"203.0.113.7"_s));
        // A new configuration replaces the engine and the server's addresses; the rules stay.
        helper.write(QByteArray::number(configuration.size()) + " 198.51.100.9\n" + configuration);
        const qint64 replaced = startedEngine(helper);
        QVERIFY(replaced > 0 && replaced != engine);
        QTRY_COMPARE(status(engine), QString());
        QCOMPARE(installed(), std::make_pair(true, true));
        QVERIFY(serverSet().contains(u"198.51.100.9"_s) && !serverSet().contains(u"203.0.113.7"_s));
        engine = replaced;
        // CAP_NET_RAW and CAP_NET_BIND_SERVICE, as user nobody, bounded to them, no new privileges.
        const QString engineStatus = status(engine);
        for (const QString &line : { u"Uid:\t65534\t65534\t65534\t65534"_s, u"CapEff:\t0000000000002400"_s,
                 u"CapBnd:\t0000000000002400"_s, u"CapAmb:\t0000000000002400"_s, u"NoNewPrivs:\t1"_s })
            QVERIFY2(engineStatus.contains(line), qPrintable(line));
        helper.closeWriteChannel();
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 0);
        QCOMPARE(installed(), std::make_pair(false, false));
        QCOMPARE(status(engine), QString());

        frame = plain;
        QProcess stopped;
        QVERIFY(start(stopped, { u"--port"_s, u"12345"_s }) > 0);
        stopped.terminate();
        QVERIFY(stopped.waitForFinished(10000));
        QCOMPARE(stopped.exitCode(), 0);
        QCOMPARE(installed(), std::make_pair(false, false));

        // The engine killed: the helper removes everything and says how it ended.
        QProcess bereft;
        const qint64 killedEngine = start(bereft, { u"--port"_s, u"12345"_s });
        QVERIFY(killedEngine > 0);
        ::kill(pid_t(killedEngine), SIGKILL);
        QVERIFY(bereft.waitForFinished(10000));
        QCOMPARE(bereft.exitCode(), 128 + SIGKILL);
        QCOMPARE(installed(), std::make_pair(false, false));

        QProcess killed;
        const qint64 orphan = start(killed, { u"--port"_s, u"12345"_s });
        QVERIFY(orphan > 0);
        // ip netns exec replaces itself with the helper: this is the helper's own SIGKILL.
        killed.kill();
        QVERIFY(killed.waitForFinished(10000));
        QTRY_COMPARE(status(orphan), QString());
        QTRY_COMPARE(installed(), std::make_pair(false, false));
        QProcess next;
        QVERIFY(start(next, { u"--port"_s, u"12345"_s }) > 0);
        QCOMPARE(space.ipInside({ u"rule"_s, u"show"_s }).count(u"fwmark 0x77"_s), 1);
        next.closeWriteChannel();
        QVERIFY(next.waitForFinished(10000));
        QCOMPARE(installed(), std::make_pair(false, false));

        // Wrong arguments, then frames that are not: a count that is not one, a host name for an
        // address, a count beyond the limit.
        const QByteArray good = "2\n{}";
        for (const auto &[arguments, input] : { std::pair { QStringList { u"--port"_s, u"0"_s }, good },
                 std::pair { QStringList { u"--port"_s, u"1"_s, u"--rules"_s, u"x"_s }, good },
                 std::pair { QStringList { u"--port"_s, u"+1"_s }, good },
                 std::pair { QStringList { u"--port"_s, u"1"_s }, "12x\n"_ba },
                 std::pair { QStringList { u"--port"_s, u"1"_s }, "2 host.example\n{}"_ba },
                 std::pair { QStringList { u"--port"_s, u"1"_s }, "999999999\n{}"_ba } }) {
            QProcess wrong;
            wrong.start(QStringLiteral(WRENLOW_INTERCEPT_PATH), arguments);
            wrong.write(input);
            wrong.closeWriteChannel();
            QVERIFY(wrong.waitForFinished(10000));
            QCOMPARE(wrong.exitCode(), 2);
        }
        QCOMPARE(installed(), std::make_pair(false, false));
    }

    // Without IPv6 on the loopback interface the helper still intercepts IPv4, and refuses IPv6
    // rather than let it out past the proxy.
    void helperWithoutIPv6()
    {
        if (geteuid() != 0)
            QSKIP("needs root to make a network namespace");
        const TestNamespace space(u"noipv6"_s);
        QVERIFY(space.made);
        QCOMPARE(
            QProcess::execute(u"ip"_s,
                { u"netns"_s, u"exec"_s, space.name, u"sysctl"_s, u"-qw"_s, u"net.ipv6.conf.lo.disable_ipv6=1"_s }),
            0);
        QProcess helper;
        helper.setProcessChannelMode(QProcess::MergedChannels);
        helper.start(u"ip"_s,
            { u"netns"_s, u"exec"_s, space.name, QStringLiteral(WRENLOW_INTERCEPT_PATH), u"--port"_s, u"12345"_s });
        const QByteArray configuration = R"({"outbounds":[{"protocol":"freedom"}]})";
        helper.write(QByteArray::number(configuration.size()) + '\n' + configuration);
        QVERIFY(startedEngine(helper) > 0);
        QVERIFY(space.ipInside({ u"-4"_s, u"rule"_s, u"show"_s }).contains(u"fwmark 0x77"_s));
        QVERIFY(!space.ipInside({ u"-6"_s, u"rule"_s, u"show"_s }).contains(u"fwmark 0x77"_s));
        QProcess nft;
        nft.start(
            u"ip"_s, { u"netns"_s, u"exec"_s, space.name, u"nft"_s, u"list"_s, u"table"_s, u"inet"_s, u"wrenlow"_s });
        QVERIFY(nft.waitForFinished(10000));
        QVERIFY(nft.readAllStandardOutput().contains("meta l4proto { tcp, udp } reject with icmpv6"));
        helper.closeWriteChannel();
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 0);
    }

    // What the user is told when interception cannot start or ends, through the engine process:
    // scripts stand in for pkexec and the helper. An empty text means it must start.
    void helperFailuresAreTold_data()
    {
        QTest::addColumn<QByteArray>("launcher");
        QTest::addColumn<QByteArray>("helper");
        QTest::addColumn<QString>("failure");
        const QByteArray passThrough = "exec \"$@\"";
        // Keeps its arguments and the framed configuration, then acts as the engine until its
        // input closes.
        const QByteArray helper = "dir=$(dirname \"$0\"); echo \"$@\" > \"$dir/arguments\"; "
                                  "read -r count servers; echo \"$servers\" >> \"$dir/arguments\"; "
                                  "head -c \"$count\" > \"$dir/configuration\"; "
                                  "echo 'wrenlow-intercept engine process 4242'; echo 'V2Ray 4.34.0 started'; "
                                  "cat >/dev/null; echo stopped > \"$dir/stopped\"";
        QTest::newRow("dismissed") << "exit 126"_ba << helper << u"the request for permission was dismissed"_s;
        QTest::newRow("refused") << "exit 127"_ba << helper
                                 << u"permission was refused, or no authentication agent could ask for it"_s;
        QTest::newRow("no pkexec") << QByteArray() << helper
                                   << u"/nonexistent/pkexec is not installed, so it cannot ask for permission"_s;
        QTest::newRow("no helper") << passThrough << QByteArray() << u"its helper /nonexistent/helper is missing"_s;
        QTest::newRow("helper fails") << passThrough
                                      << "echo 'wrenlow-intercept: the interception rules were refused: "
                                         "Error: no such table 203.0.113.7' >&2; exit 1"_ba
                                      << u"the interception rules were refused: Error: no such table <address>"_s;
        // The real one, for a user it cannot ask: no agent (or no polkit daemon) to ask with.
        if (geteuid() == 0 && !QStandardPaths::findExecutable(u"pkexec"_s).isEmpty())
            QTest::newRow("real pkexec") << "exec setpriv --reuid=65534 --regid=65534 --clear-groups pkexec \"$@\""_ba
                                         << helper
                                         << u"permission was refused, or no authentication agent could ask for it"_s;
        QTest::newRow("starts") << passThrough << helper << QString();
    }

    void helperFailuresAreTold()
    {
        QFETCH(QByteArray, launcher);
        QFETCH(QByteArray, helper);
        QFETCH(QString, failure);
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
        qputenv("WRENLOW_INTERCEPT_LAUNCHER", script(u"pkexec"_s, launcher).toLocal8Bit());
        qputenv("WRENLOW_INTERCEPT_HELPER", script(u"helper"_s, helper).toLocal8Bit());
        EngineProcess engine(interceptionLaunch(12345, { QHostAddress(u"203.0.113.7"_s) }));
        QSignalSpy started(&engine, &EngineProcess::started);
        QSignalSpy failed(&engine, &EngineProcess::failed);
        QSignalSpy exited(&engine, &EngineProcess::exited);
        engine.start("{\"log\":{}}\n");
        QTRY_VERIFY(!started.isEmpty() || !failed.isEmpty());
        if (!failure.isEmpty()) {
            QCOMPARE(failed.first().first().toString(),
                u"transparent proxying could not start: "_s + failure + u"; the HTTP proxy works without it"_s);
            QCOMPARE(failed.first().last().toBool(), true);
            return;
        }
        QCOMPARE(QFile(dir.filePath(u"arguments"_s)).exists(), true);
        QFile arguments(dir.filePath(u"arguments"_s));
        QVERIFY(arguments.open(QIODevice::ReadOnly));
        QCOMPARE(arguments.readAll(), "--port 12345\n203.0.113.7\n");
        QFile configuration(dir.filePath(u"configuration"_s));
        QVERIFY(configuration.open(QIODevice::ReadOnly));
        QCOMPARE(configuration.readAll(), "{\"log\":{}}\n");
        // The memory line reads the engine's process, not the helper's.
        QCOMPARE(engine.processId(), 4242);
        // Stopped, the helper is asked through its input and ends by itself.
        engine.stop();
        QVERIFY(QFile::exists(dir.filePath(u"stopped"_s)));
        QVERIFY(exited.isEmpty() && failed.isEmpty());

        qputenv("WRENLOW_INTERCEPT_HELPER",
            script(
                u"helper2"_s, "echo 'V2Ray 4.34.0 started'; sleep 0.2; echo 'wrenlow-intercept: the engine went' >&2")
                .toLocal8Bit());
        EngineProcess shortLived(interceptionLaunch(12345, {}));
        QSignalSpy shortExited(&shortLived, &EngineProcess::exited);
        shortLived.start("{}");
        QTRY_COMPARE(shortExited.size(), 1);
        QCOMPARE(shortExited.first().first().toString(), u"transparent proxying stopped: the engine went"_s);
    }

    // A failing command is reported with what failed, and nothing stays installed.
    void policyRoutingReportsAFailure()
    {
        PolicyRouting routing(u"/nonexistent/ip"_s);
        QVERIFY(routing.install().startsWith(u"ip -4 rule add fwmark 0x77"_s));
    }
};

WRENLOW_TEST(InterceptionTest)
#include "tst_interception.moc"
