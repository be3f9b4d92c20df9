#include "core/foundation/defaultsstore.h"
#include "core/foundation/jsoncoding.h"
#include "core/systemproxy/systemproxy.h"
#include "testregistry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <tuple>

using namespace Qt::StringLiterals;

// The real gsettings (keyfile back end) and kreadconfig5/kwriteconfig5 on a private configuration
// directory; the search path holds only the programs a case puts there.
namespace {

using Settings = QMap<QString, QString>;

const QStringList allTools { u"gsettings"_s, u"kreadconfig5"_s, u"kwriteconfig5"_s };

class Sandbox {
public:
    Sandbox()
        : store(m_dir.filePath(u"store"_s))
    {
        QDir().mkpath(path(u"config"_s));
        QDir().mkpath(path(u"bin"_s));
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool hasMarker() const { return store.data(SystemProxy::markerKey()).has_value(); }

    bool link(const QString &program)
    {
        return QFile::link(QStandardPaths::findExecutable(program), path(u"bin/"_s + program));
    }

    // Stands in for the real program, except in calls whose arguments contain `call`.
    void wrap(const QString &program, const QString &call, const QString &action)
    {
        QFile script(path(u"bin/"_s + program));
        script.open(QIODevice::WriteOnly);
        script.write(u"#!/bin/sh\ncase \"$*\" in *\"%1\"*) %2 ;; esac\nexec %3 \"$@\"\n"_s
                         .arg(call, action, QStandardPaths::findExecutable(program))
                         .toUtf8());
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // GLib's schemas without the desktop's, as on a machine without gsettings-desktop-schemas.
    bool hideGnomeSchema()
    {
        QDir().mkpath(path(u"data/glib-2.0/schemas"_s));
        QFile schema(path(u"data/glib-2.0/schemas/net.quorvel.wrenlow.test.gschema.xml"_s));
        schema.open(QIODevice::WriteOnly);
        schema.write("<schemalist><schema id=\"net.quorvel.wrenlow.test\" path=\"/net/quorvel/wrenlow/test/\">"
                     "<key name=\"on\" type=\"b\"><default>false</default></key></schema></schemalist>\n");
        schema.close();
        m_hideSchemas = true;
        return QProcess::execute(u"glib-compile-schemas"_s, { path(u"data/glib-2.0/schemas"_s) }) == 0;
    }

    SystemProxyEnvironment environment(const QString &desktop) const
    {
        QProcessEnvironment tools = QProcessEnvironment::systemEnvironment();
        tools.insert(u"XDG_CONFIG_HOME"_s, path(u"config"_s));
        tools.insert(u"GSETTINGS_BACKEND"_s, u"keyfile"_s);
        tools.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
        if (m_hideSchemas)
            tools.insert(u"XDG_DATA_DIRS"_s, path(u"data"_s));
        return { desktop, { path(u"bin"_s) }, tools, timeout };
    }

    // Runs the real tool as the user would.
    QString run(const QString &program, const QStringList &arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(environment(QString()).toolEnvironment);
        process.start(program, arguments);
        process.waitForFinished();
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    // Links the real tools and gives the user their own values ("schema key value").
    void prepare(const QStringList &userGSettings, const QByteArray &userKioslaverc)
    {
        for (const QString &tool : allTools)
            if (!QFile::exists(path(u"bin/"_s + tool)))
                link(tool);
        for (const QString &setting : userGSettings)
            run(u"gsettings"_s,
                { u"set"_s, setting.section(u' ', 0, 0), setting.section(u' ', 1, 1), setting.section(u' ', 2) });
        QFile file(path(u"config/kioslaverc"_s));
        if (!userKioslaverc.isEmpty() && file.open(QIODevice::WriteOnly))
            file.write(userKioslaverc);
    }

    // Every key of both files, "file:group/key": an absent key is absent here too.
    Settings settings() const
    {
        Settings entries;
        for (const QString &file : { u"glib-2.0/settings/keyfile"_s, u"kioslaverc"_s }) {
            QFile ini(path(u"config/"_s + file));
            if (!ini.open(QIODevice::ReadOnly))
                continue;
            QString group;
            for (const QByteArray &line : ini.readAll().split('\n')) {
                const QString text = QString::fromUtf8(line);
                if (text.startsWith(u'['))
                    group = text.mid(1, text.size() - 2);
                else if (const qsizetype equals = text.indexOf(u'='); equals > 0)
                    entries.insert(file + u':' + group + u'/' + text.left(equals), text.mid(equals + 1));
            }
        }
        return entries;
    }

    QTemporaryDir m_dir;
    DefaultsStore store;
    bool m_hideSchemas = false;
    std::chrono::milliseconds timeout = std::chrono::seconds(5);
};

// As list-recursively shows them.
const QStringList appliedGSettings { u"org.gnome.system.proxy mode 'manual'"_s,
    u"org.gnome.system.proxy ignore-hosts ['localhost', '127.0.0.0/8', '::1']"_s,
    u"org.gnome.system.proxy.http host '127.0.0.1'"_s, u"org.gnome.system.proxy.http port 1087"_s,
    u"org.gnome.system.proxy.https host '127.0.0.1'"_s, u"org.gnome.system.proxy.https port 1087"_s };
const Settings appliedKde { { u"kioslaverc:Proxy Settings/ProxyType"_s, u"1"_s },
    { u"kioslaverc:Proxy Settings/httpProxy"_s, u"http://127.0.0.1 1087"_s },
    { u"kioslaverc:Proxy Settings/httpsProxy"_s, u"http://127.0.0.1 1087"_s },
    { u"kioslaverc:Proxy Settings/NoProxyFor"_s, u"localhost,127.0.0.0/8,::1"_s } };

} // namespace

class SystemProxyTest final : public QObject {
    Q_OBJECT
    using Restore = std::tuple<QString, QStringList, QByteArray, bool>;
    using Unsupported = std::tuple<QString, QStringList, bool>;

private Q_SLOTS:
    void init()
    {
        const bool tools = std::ranges::all_of(
            allTools, [](const QString &tool) { return !QStandardPaths::findExecutable(tool).isEmpty(); });
        if (!tools || !QFile::exists(u"/usr/share/glib-2.0/schemas/org.gnome.system.proxy.gschema.xml"_s))
            QSKIP("needs the Debian packages libglib2.0-bin, gsettings-desktop-schemas and libkf5config-bin");
    }

    void restoresTheUsersValues_data()
    {
        // Desktop, the user's gsettings, their kioslaverc, whether the GNOME schema is installed.
        QTest::addColumn<Restore>("row");
        const QStringList ownProxy { u"org.gnome.system.proxy mode 'auto'"_s,
            u"org.gnome.system.proxy.http host 'corp.example'"_s, u"org.gnome.system.proxy.http port 3128"_s,
            u"org.gnome.system.proxy ignore-hosts ['*.corp.example']"_s };
        // NoProxyFor is present but empty, httpsProxy absent: both must come back as they were
        const QByteArray ownKde(
            "[Other]\nkeep=1\n[Proxy Settings]\nProxyType=2\nReversedException=false\nhttpProxy=http://old.example "
            "8080\nNoProxyFor=\n");
        QTest::newRow("ubuntu-own-proxy") << Restore { u"ubuntu:GNOME"_s, ownProxy, QByteArray(), true };
        QTest::newRow("kde-own-proxy") << Restore { u"KDE"_s, ownProxy.mid(0, 1), ownKde, true };
        QTest::newRow("kde-without-gnome-schema") << Restore { u"KDE"_s, QStringList(), ownKde, false };
    }

    // Restored on stop, and by the next start after a run that was killed; what the user changed meanwhile stays.
    void restoresTheUsersValues()
    {
        QFETCH(Restore, row);
        const auto &[desktop, userGSettings, userKioslaverc, gnomeSchema] = row;
        Sandbox sandbox;
        QVERIFY(gnomeSchema || sandbox.hideGnomeSchema());
        sandbox.prepare(userGSettings, userKioslaverc);
        const Settings before = sandbox.settings();

        SystemProxy proxy(sandbox.environment(desktop), sandbox.store);
        QCOMPARE(proxy.apply(1087), SystemProxy::Result::applied);
        QVERIFY(sandbox.hasMarker());
        const QString gsettings = sandbox.run(u"gsettings"_s, { u"list-recursively"_s, u"org.gnome.system.proxy"_s });
        for (const QString &line : appliedGSettings)
            QVERIFY2(gsettings.contains(line) == gnomeSchema, qPrintable(line));
        const Settings applied = sandbox.settings();
        for (auto entry = appliedKde.cbegin(); entry != appliedKde.cend(); ++entry)
            QCOMPARE(applied.value(entry.key()), desktop == u"KDE"_s ? entry.value() : QString());
        QVERIFY(proxy.restore());
        QCOMPARE(sandbox.settings(), before);
        QVERIFY(!sandbox.hasMarker());
        QVERIFY(proxy.restore());
        QCOMPARE(sandbox.settings(), before);

        QCOMPARE(SystemProxy(sandbox.environment(desktop), sandbox.store).apply(1087), SystemProxy::Result::applied);
        QCOMPARE(sandbox.settings(), applied);
        QVERIFY(SystemProxy(sandbox.environment(desktop), sandbox.store).recoverLeftover());
        QCOMPARE(sandbox.settings(), before);
        QVERIFY(!sandbox.hasMarker());

        // What the user changes meanwhile is theirs to keep.
        QCOMPARE(proxy.apply(1087), SystemProxy::Result::applied);
        Settings expected = before;
        if (gnomeSchema) {
            sandbox.run(u"gsettings"_s, { u"set"_s, u"org.gnome.system.proxy"_s, u"mode"_s, u"'none'"_s });
            expected.insert(u"glib-2.0/settings/keyfile:system/proxy/mode"_s, u"'none'"_s);
        }
        if (desktop == u"KDE"_s) {
            sandbox.run(u"kwriteconfig5"_s,
                { u"--file"_s, u"kioslaverc"_s, u"--group"_s, u"Proxy Settings"_s, u"--key"_s, u"httpProxy"_s,
                    u"http://user.example 3128"_s });
            expected.insert(u"kioslaverc:Proxy Settings/httpProxy"_s, u"http://user.example 3128"_s);
        }
        QVERIFY(proxy.restore());
        QCOMPARE(sandbox.settings(), expected);
    }

    // Killed between two changes: the marker was on disk before the first one.
    void recoversFromACrashPartWay()
    {
        Sandbox sandbox;
        const QString keyfile = sandbox.path(u"config/glib-2.0/settings/keyfile"_s);
        sandbox.wrap(u"gsettings"_s, u"set org.gnome.system.proxy mode"_s,
            u"cp %1 %2/marker; cp %3 %2/keyfile; exit 3"_s.arg(
                sandbox.store.filePath(SystemProxy::markerKey()), sandbox.path(QString()), keyfile));
        sandbox.prepare(
            { u"org.gnome.system.proxy mode 'auto'"_s, u"org.gnome.system.proxy.https host 'old.example'"_s }, {});
        const Settings before = sandbox.settings();
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"exit code 3"_s));
        QCOMPARE(SystemProxy(sandbox.environment(u"GNOME"_s), sandbox.store).apply(1087), SystemProxy::Result::failed);

        // what the disk held when the process died
        QFile marker(sandbox.path(u"marker"_s));
        QVERIFY(marker.open(QIODevice::ReadOnly));
        QVERIFY(sandbox.store.setData(SystemProxy::markerKey(), marker.readAll()));
        QVERIFY(QFile::remove(keyfile) && QFile::copy(sandbox.path(u"keyfile"_s), keyfile));
        QVERIFY(sandbox.settings() != before);
        QVERIFY(QFile::remove(sandbox.path(u"bin/gsettings"_s)) && sandbox.link(u"gsettings"_s));
        QVERIFY(SystemProxy(sandbox.environment(u"GNOME"_s), sandbox.store).recoverLeftover());
        QCOMPARE(sandbox.settings(), before);
        QVERIFY(!sandbox.hasMarker());
    }

    // The app starting while the tunnel runs must not take the tunnel's settings away.
    void leavesARunningTunnelsSettings()
    {
        Sandbox sandbox;
        sandbox.prepare({}, {});
        const Settings before = sandbox.settings();
        SystemProxy proxy(sandbox.environment(u"GNOME"_s), sandbox.store);
        QCOMPARE(proxy.apply(1087), SystemProxy::Result::applied);
        const Settings applied = sandbox.settings();
        QProcess tunnel;
        tunnel.start(u"sleep"_s, { u"60"_s });
        QVERIFY(tunnel.waitForStarted());
        QFile stat(u"/proc/%1/stat"_s.arg(tunnel.processId()));
        QVERIFY(stat.open(QIODevice::ReadOnly));
        Json marker = json::parse(sandbox.store.data(SystemProxy::markerKey()).value_or(QByteArray()));
        marker["pid"] = tunnel.processId();
        marker["processStart"] = stat.readAll().split(' ').at(21).toLongLong();
        QVERIFY(sandbox.store.setData(SystemProxy::markerKey(), json::serialize(marker)));

        QVERIFY(proxy.recoverLeftover());
        QCOMPARE(sandbox.settings(), applied);
        QCOMPARE(proxy.apply(2000), SystemProxy::Result::failed);
        QCOMPARE(sandbox.settings(), applied);
        tunnel.kill();
        QVERIFY(tunnel.waitForFinished());
        QVERIFY(proxy.recoverLeftover());
        QCOMPARE(sandbox.settings(), before);
    }

    void touchesNothingWithoutSupport_data()
    {
        // Desktop, tools installed, whether the GNOME schema is installed.
        QTest::addColumn<Unsupported>("row");
        QTest::newRow("no-desktop") << Unsupported { QString(), allTools, true };
        QTest::newRow("kde-without-tools") << Unsupported { u"KDE"_s, QStringList(), true };
        QTest::newRow("gnome-without-gsettings") << Unsupported { u"GNOME"_s, allTools.mid(1), true };
        QTest::newRow("xfce-without-schema") << Unsupported { u"XFCE"_s, allTools, false };
    }

    void touchesNothingWithoutSupport()
    {
        QFETCH(Unsupported, row);
        const auto &[desktop, tools, gnomeSchema] = row;
        Sandbox sandbox;
        QVERIFY(gnomeSchema || sandbox.hideGnomeSchema());
        for (const QString &tool : tools)
            QVERIFY(sandbox.link(tool));

        QTest::ignoreMessage(
            QtInfoMsg, QRegularExpression(u"^No supported desktop found for the system proxy settings"_s));
        QCOMPARE(
            SystemProxy(sandbox.environment(desktop), sandbox.store).apply(1087), SystemProxy::Result::notSupported);
        QVERIFY(!sandbox.hasMarker());
        QVERIFY(!QDirIterator(sandbox.path(u"config"_s), QDir::Files, QDirIterator::Subdirectories).hasNext());
    }

    void failingToolLeavesSettingsAsTheyWere_data()
    {
        // Desktop, program, the call that fails, what it does instead, what is logged.
        QTest::addColumn<std::array<QString, 5>>("row");
        const auto row = [](const char *name, const QString &desktop, const QString &program, const QString &call,
                             const QString &action = u"echo simulated failure >&2; exit 3"_s,
                             const QString &logged = u"failed with exit code 3: simulated failure"_s) {
            QTest::newRow(name) << std::array { desktop, program, call, action, logged };
        };
        const QString setMode = u"set org.gnome.system.proxy mode"_s;
        row("gsettings-cannot-read", u"GNOME"_s, u"gsettings"_s, u"list-recursively"_s);
        row("gsettings-set-fails", u"GNOME"_s, u"gsettings"_s, setMode);
        row("gsettings-hangs", u"GNOME"_s, u"gsettings"_s, setMode, u"exec sleep 30"_s,
            u"did not finish within 1000 ms"_s);
        row("kreadconfig-fails", u"KDE"_s, u"kreadconfig5"_s, u"httpsProxy"_s);
        row("kwriteconfig-fails", u"KDE"_s, u"kwriteconfig5"_s, u"ProxyType"_s);
        // KDE's own settings were all written by then
        row("gsettings-fails-under-kde", u"KDE"_s, u"gsettings"_s, setMode);
    }

    void failingToolLeavesSettingsAsTheyWere()
    {
        using Row = std::array<QString, 5>;
        QFETCH(Row, row);
        const auto &[desktop, program, failingCall, action, logged] = row;
        Sandbox sandbox;
        sandbox.timeout = std::chrono::seconds(1);
        sandbox.wrap(program, failingCall, action);
        sandbox.prepare({ u"org.gnome.system.proxy mode 'auto'"_s, u"org.gnome.system.proxy.http port 3128"_s },
            "[Proxy Settings]\nProxyType=2\nhttpProxy=http://old.example 8080\n");
        const Settings before = sandbox.settings();

        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QRegularExpression::escape(logged)));
        QCOMPARE(SystemProxy(sandbox.environment(desktop), sandbox.store).apply(1087), SystemProxy::Result::failed);
        QCOMPARE(sandbox.settings(), before);
        QVERIFY(!sandbox.hasMarker());
    }

    // A marker damaged by hand is kept aside, and the next apply still works.
    void keepsAnUnreadableMarkerAside()
    {
        Sandbox sandbox;
        sandbox.prepare({}, {});
        const QByteArray damaged("{\"port\":1087,\"tools\":[");
        QVERIFY(sandbox.store.setData(SystemProxy::markerKey(), damaged));
        SystemProxy proxy(sandbox.environment(u"GNOME"_s), sandbox.store);

        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^The system proxy marker .* is unreadable"_s));
        QVERIFY(proxy.recoverLeftover());
        QVERIFY(!sandbox.hasMarker());
        QCOMPARE(QDir(sandbox.store.directory()).entryList({ u"system-proxy.unreadable-*"_s }).size(), 1);
        QCOMPARE(proxy.apply(1087), SystemProxy::Result::applied);
    }
};

WRENLOW_TEST(SystemProxyTest)
#include "tst_systemproxy.moc"
