#include "app/platform/linuxextensionactivation.h"
#include "app/platform/linuxtunnelplatform.h"
#include "app/platform/linuxtunnelprofile.h"
#include "app/platform/tunnelprogram.h"
#include "core/foundation/defaultsstore.h"
#include "core/tunnel/ipcframe.h"
#include "taskfailure.h"
#include "testregistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <tuple>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Answers = QList<std::optional<QByteArray>>;

QString thrown(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const Error &e) {
        return e.description();
    }
    return {};
}

// The tunnel program's side of the socket, in the test process: records frames, answers hello
// with "connected" and start as told.
struct FakeTunnel {
    QLocalServer server;
    QLocalSocket *client = nullptr;
    ipc::FrameReader reader;
    QList<ipc::Frame> received;
    std::function<void(quint32 id)> onStart;

    void listen(const QString &path)
    {
        QObject::connect(&server, &QLocalServer::newConnection, &server, [this] {
            client = server.nextPendingConnection();
            QObject::connect(client, &QLocalSocket::readyRead, &server, [this] {
                reader.append(client->readAll());
                while (const auto frame = reader.next()) {
                    received.append(*frame);
                    if (frame->kind == ipc::Kind::hello)
                        send(ipc::Kind::helloReply, frame->id, "{\"protocol\":1,\"version\":\"t\",\"status\":3}");
                    else if (frame->kind == ipc::Kind::start && onStart)
                        onStart(frame->id);
                }
            });
        });
        QVERIFY(server.listen(path));
    }

    void send(ipc::Kind kind, quint32 id, const QByteArray &payload = {})
    {
        client->write(ipc::encode({ kind, id, payload }));
    }

    QList<quint32> requestIds() const
    {
        QList<quint32> ids;
        for (const auto &frame : received)
            if (frame.kind == ipc::Kind::request)
                ids.append(frame.id);
        return ids;
    }
};

const PlatformError tunnelError(TunnelProviderError(TunnelProviderError::Code::startBackend, u"port 0"_s));

TunnelProtocol protocol(const QString &backend)
{
    return TunnelProtocol { true, u"h.example:443"_s,
        ProviderConfiguration { backend, u"h.example"_s, false, true, false, 3128 } };
}

} // namespace

class LinuxTunnelTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<FakeTunnel> m_fake;
    std::unique_ptr<LinuxTunnelPlatform> m_platform;
    using Refusal = std::tuple<QByteArray, bool, bool, QString>;
    using Activation = std::tuple<QByteArray, QString>;

    QString socketPath() const { return m_dir->filePath(u"run/tunnel.sock"_s); }
    QString programPath() const { return m_dir->filePath(u"wrenlow-tunnel"_s); }

    void writeProgram(const QByteArray &body, bool executable = true)
    {
        QFile file(programPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + body + '\n');
        file.close();
        QVERIFY(file.setPermissions(
            QFile::ReadOwner | QFile::WriteOwner | (executable ? QFile::ExeOwner : QFile::Permissions())));
    }

    // As a later launch of the application: a new platform reading the same store.
    QList<TunnelProfilePtr> relaunch()
    {
        m_platform = std::make_unique<LinuxTunnelPlatform>(
            *m_store, programPath(), socketPath(), TunnelTimings { 300ms, 300ms, 300ms, 50ms, 3 });
        return QCoro::waitFor(m_platform->loadAllFromPreferences());
    }

    TunnelProfilePtr savedProfile(bool configured = true, bool onDemand = false)
    {
        auto profile = m_platform->makeProfile();
        if (configured)
            profile->protocolConfiguration = protocol(u"{\"backend\":\"secret\"}"_s);
        profile->isOnDemandEnabled = onDemand;
        QCoro::waitFor(profile->saveToPreferences());
        return profile;
    }

    // The connection of a saved profile, as an application launched while the fake tunnel runs finds it.
    TunnelConnection *attachedConnection()
    {
        savedProfile();
        m_fake->listen(socketPath());
        const auto profiles = relaunch();
        return profiles.size() == 1 ? profiles.first()->connection() : nullptr;
    }

    // The answers are shared with the handler, which may run after the test function has returned.
    static std::shared_ptr<Answers> send(TunnelConnection *connection)
    {
        auto answers = std::make_shared<Answers>();
        connection->sendProviderMessage(
            "{\"getMemoryUsed\":{}}", [answers](std::optional<QByteArray> answer) { answers->append(answer); });
        return answers;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(m_dir->filePath(u"run"_s)));
        m_store = std::make_unique<DefaultsStore>(m_dir->filePath(u"config"_s));
        m_fake = std::make_unique<FakeTunnel>();
        relaunch();
    }

    void cleanup()
    {
        m_platform.reset();
        m_fake.reset();
    }

    void profilesKeepTheirFieldsAndStoredOrder()
    {
        QList<TunnelProfilePtr> made;
        for (const QString &name : { u"a"_s, u"b"_s, u"c"_s }) {
            auto &profile = *made.emplace_back(m_platform->makeProfile());
            profile.localizedDescription = name;
            profile.isEnabled = true;
            profile.protocolConfiguration = protocol(name);
            profile.onDemandRules = { OnDemandConnectRule { 0 } };
            profile.isOnDemandEnabled = name == u"b";
            QCoro::waitFor(profile.saveToPreferences());
        }
        // Saving again replaces in place.
        made[0]->protocolConfiguration.reset();
        QCoro::waitFor(made[0]->saveToPreferences());

        const auto loaded = relaunch();
        QCOMPARE(loaded.size(), 3);
        for (int i = 0; i < 3; ++i)
            QVERIFY(static_cast<LinuxTunnelProfile &>(*loaded[i]).toStored()
                == static_cast<LinuxTunnelProfile &>(*made[i]).toStored());

        QCoro::waitFor(loaded[1]->removeFromPreferences());
        QCOMPARE(failureOf(made[1]->loadFromPreferences()), u"The tunnel profile is no longer saved"_s);
        made[2]->localizedDescription = u"edited, unsaved"_s;
        QCoro::waitFor(made[2]->loadFromPreferences());
        QCOMPARE(made[2]->localizedDescription, u"c"_s);
        QCOMPARE(QCoro::waitFor(m_platform->loadAllFromPreferences()).size(), 2);
    }

    void undecodableProfilesAreReportedAndKept()
    {
        const QByteArray damaged("[{\"id\":\"not a uuid\"}]");
        QVERIFY(m_store->setData(u"profiles"_s, damaged));
        QCOMPARE(failureOf(m_platform->loadAllFromPreferences()).section(u": "_s, 0, 0),
            u"The saved tunnel profiles in %1 cannot be read"_s.arg(m_store->filePath(u"profiles"_s)));
        QCOMPARE(m_store->data(u"profiles"_s), std::optional(damaged));

        // A new profile can still be saved; the damaged document survives beside it.
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"a copy is kept at"_s));
        savedProfile();
        QCOMPARE(QCoro::waitFor(m_platform->loadAllFromPreferences()).size(), 1);
        QCOMPARE(QDir(m_store->directory()).entryList({ u"profiles.unreadable-*"_s }).size(), 1);
    }

    void startIsRefused_data()
    {
        // Program (empty: none), executable, configured, the refusal.
        QTest::addColumn<Refusal>("row");
        QTest::newRow("missing program") << Refusal { {}, true, true,
            u"The tunnel program is not installed at PATH"_s };
        QTest::newRow("not executable") << Refusal { "exit 0"_ba, false, true,
            u"The tunnel program at PATH is not executable"_s };
        QTest::newRow("no configuration")
            << Refusal { "exit 0"_ba, true, false, u"The tunnel profile has no tunnel configuration"_s };
    }

    void startIsRefused()
    {
        QFETCH(Refusal, row);
        auto &[program, executable, configured, expected] = row;
        if (!program.isEmpty())
            writeProgram(program, executable);
        auto *connection = savedProfile(configured)->connection();
        QCOMPARE(thrown([&] { connection->startVPNTunnel(); }), expected.replace(u"PATH"_s, programPath()));
        QCOMPARE(connection->status(), VPNStatus::disconnected);
    }

    // How a start ends, and the reason fetchLastDisconnectError gives afterwards.
    void startOutcome_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<VPNStatus>("reached");
        QTest::addColumn<QString>("lastError");
        QTest::newRow("connected") << u"connect"_s << VPNStatus::connected << QString();
        QTest::newRow("error frame") << u"error"_s << VPNStatus::disconnected << tunnelError.description();
        QTest::newRow("error left on disk") << u"error file"_s << VPNStatus::disconnected << tunnelError.description();
        QTest::newRow("closes silently") << u"close"_s << VPNStatus::disconnected
                                         << u"The tunnel program stopped before it was connected"_s;
        QTest::newRow("nobody listens") << u"absent"_s << VPNStatus::disconnected
                                        << u"The tunnel program did not answer within 0.3 seconds"_s;
    }

    void startOutcome()
    {
        QFETCH(QString, outcome);
        QFETCH(VPNStatus, reached);
        QFETCH(QString, lastError);
        // The launched program only records its arguments; the fake plays the tunnel.
        writeProgram("printf '%s\\n' \"$@\" > \"$0.args\"");
        auto profile = savedProfile();
        auto *connection = profile->connection();
        QList<VPNStatus> seen;
        // Ends the connection with this function: the connection lives on until cleanup().
        QObject scope;
        connect(connection, &TunnelConnection::statusChanged, &scope, [&] { seen.append(connection->status()); });
        if (outcome != u"absent")
            m_fake->listen(socketPath());
        m_fake->onStart = [this, outcome](quint32 id) {
            if (outcome == u"connect")
                return m_fake->send(ipc::Kind::status, id, "{\"status\":3}");
            if (outcome == u"error")
                m_fake->send(ipc::Kind::error, 0, json::serialize(encodePlatformError(tunnelError)));
            QFile file(lastErrorPathFor(socketPath()));
            if (outcome == u"error file" && file.open(QIODevice::WriteOnly))
                file.write(json::serialize(encodePlatformError(tunnelError)));
            m_fake->client->disconnectFromServer();
        };
        connection->startVPNTunnel();
        QTRY_COMPARE(seen, (QList { VPNStatus::connecting, reached }));

        const auto error = QCoro::waitFor(connection->fetchLastDisconnectError());
        QCOMPARE(error ? error->description() : QString(), lastError);
        QVERIFY(!lastError.startsWith(u"Cannot start") || *error == tunnelError);
        // Nothing secret on the command line: the configuration goes over the socket.
        const auto arguments = [this] {
            QFile file(programPath() + u".args"_s);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_COMPARE(arguments(), "--socket\n" + socketPath().toUtf8() + '\n');
        if (outcome != u"absent")
            QVERIFY(json::parse(m_fake->received.value(1).payload)
                == encodeProviderConfiguration(profile->protocolConfiguration->providerConfiguration));
    }

    // A stop before the program answered goes out in place of the start: no configuration is sent.
    void stopWhileTheProgramStarts()
    {
        writeProgram("exit 0");
        auto *connection = savedProfile()->connection();
        connection->startVPNTunnel();
        connection->stopVPNTunnel();
        QCOMPARE(connection->status(), VPNStatus::disconnecting);
        m_fake->listen(socketPath());
        QTRY_COMPARE(m_fake->received.size(), 2);
        QCOMPARE(m_fake->received[1].kind, ipc::Kind::stop);
        m_fake->client->disconnectFromServer();
        QTRY_COMPARE(connection->status(), VPNStatus::disconnected);
        QVERIFY(!QCoro::waitFor(connection->fetchLastDisconnectError()));
    }

    // A saved profile with connect-on-demand starts its tunnel at launch and again after a crash; a
    // user's stop is never undone by it.
    void onDemand()
    {
        writeProgram("exit 0");
        savedProfile(true, true);
        const auto profiles = relaunch();
        QCOMPARE(profiles.size(), 1);
        auto *connection = static_cast<LinuxTunnelConnection *>(profiles.first()->connection());
        m_fake->onStart = [this](quint32 id) { m_fake->send(ipc::Kind::status, id, "{\"status\":3}"); };
        m_fake->listen(socketPath());
        QTRY_COMPARE(connection->status(), VPNStatus::connected);
        m_fake->client->disconnectFromServer();
        QTRY_COMPARE(std::ranges::count(m_fake->received, ipc::Kind::start, &ipc::Frame::kind), 2);
        QTRY_COMPARE(connection->status(), VPNStatus::connected);

        connection->stopVPNTunnel();
        QTRY_COMPARE(m_fake->received.last().kind, ipc::Kind::stop);
        QCOMPARE(connection->status(), VPNStatus::disconnecting);
        m_fake->client->disconnectFromServer();
        QTRY_COMPARE(connection->status(), VPNStatus::disconnected);
        connection->startOnDemand(); // what the on-demand timer runs
        QCOMPARE(connection->status(), VPNStatus::disconnected);
    }

    // However the connection ends, the handlers still waiting get none, once, and the tunnel counts as gone.
    void answersAndTheEndOfTheConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("tunnel closes") << QByteArray();
        QTest::newRow("unknown kind") << ipc::encode({ ipc::Kind(42), 1, {} });
        QTest::newRow("a kind only the app sends") << ipc::encode({ ipc::Kind::start, 1, {} });
        QTest::newRow("status out of range") << ipc::encode({ ipc::Kind::status, 0, "{\"status\":9}" });
        QTest::newRow("error without domain") << ipc::encode({ ipc::Kind::error, 0, "{\"code\":1}" });
    }

    // Answers reach their own handler once, in whatever order they come.
    void answersAndTheEndOfTheConnection()
    {
        QFETCH(QByteArray, bytes);
        auto *connection = attachedConnection();
        QVERIFY(connection);
        QCOMPARE(connection->status(), VPNStatus::connected);
        QList<std::shared_ptr<Answers>> answers;
        for (int i = 0; i < 6; ++i)
            answers.append(send(connection));
        QTRY_COMPARE(m_fake->requestIds().size(), 6);
        const auto ids = m_fake->requestIds();
        QCOMPARE(QSet<quint32>(ids.begin(), ids.end()).size(), 6);
        m_fake->send(ipc::Kind::emptyResponse, ids[2]);
        m_fake->send(ipc::Kind::response, ids[1], "b");
        m_fake->send(ipc::Kind::response, ids[0], "a");
        m_fake->send(ipc::Kind::response, ids[0], "again");
        m_fake->send(ipc::Kind::response, ids[3], "d");
        // Once the fourth is answered, everything before it has been read.
        QTRY_COMPARE(answers[3]->size(), 1);
        if (bytes.isEmpty())
            m_fake->client->disconnectFromServer();
        else
            m_fake->client->write(bytes);
        QTRY_COMPARE(connection->status(), VPNStatus::disconnected);
        QList<Answers> got;
        std::ranges::transform(answers, std::back_inserter(got), [](const auto &answer) { return *answer; });
        QCOMPARE(got,
            (QList<Answers> {
                { "a"_ba }, { "b"_ba }, { std::nullopt }, { "d"_ba }, { std::nullopt }, { std::nullopt } }));
        QCOMPARE(thrown([&] { send(connection); }), u"The tunnel is not running"_s);
    }

    void activation_data()
    {
        // Script (empty: none), the failure.
        QTest::addColumn<Activation>("row");
        QTest::newRow("missing") << Activation { QByteArray(),
            u"The tunnel program wrenlow-tunnel is not installed at PATH"_s };
        QTest::newRow("no answer") << Activation { "exec sleep 30"_ba,
            u"The tunnel program at PATH did not answer within 0.3 seconds"_s };
        QTest::newRow("other protocol") << Activation { "echo '{\"protocol\":2}'"_ba,
            u"The tunnel program at PATH speaks protocol 2, but this version needs protocol 1"_s };
        QTest::newRow("crash") << Activation { "kill -SEGV $$"_ba,
            u"The tunnel program at PATH crashed during the handshake"_s };
        QTest::newRow("exits") << Activation { "exit 3"_ba,
            u"The tunnel program at PATH exited with code 3 without answering the handshake"_s };
    }

    void activation()
    {
        QFETCH(Activation, row);
        auto &[script, expected] = row;
        if (!script.isEmpty())
            writeProgram(script);
        expected.replace(u"PATH"_s, programPath());
        LinuxExtensionActivation activation(programPath(), 300ms);
        QSignalSpy finished(&activation, &ExtensionActivation::finished);
        QSignalSpy failed(&activation, &ExtensionActivation::failed);
        QTest::ignoreMessage(QtCriticalMsg, qPrintable(expected));
        activation.submit();
        QCOMPARE(failed.size(), 0); // never inside submit()
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(), expected);
        QCOMPARE(finished.size(), 0);
    }

    // Installed, the tunnel program is in libexec/wrenlow beside bin/; in the build tree, beside the
    // application. When neither is there, the installed place is the one to name.
    void tunnelProgramPlace_data()
    {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("expected");
        const QString installed = u"usr/libexec/wrenlow/wrenlow-tunnel"_s, beside = u"usr/bin/wrenlow-tunnel"_s;
        QTest::newRow("installed") << QStringList { installed } << installed;
        QTest::newRow("build tree") << QStringList { beside } << beside;
        QTest::newRow("both") << QStringList { installed, beside } << installed;
        QTest::newRow("neither") << QStringList {} << installed;
    }

    void tunnelProgramPlace()
    {
        QFETCH(QStringList, present);
        QFETCH(QString, expected);
        for (const QString &path : present) {
            QVERIFY(QDir().mkpath(QFileInfo(m_dir->filePath(path)).path()));
            QFile file(m_dir->filePath(path));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QCOMPARE(tunnelProgramPath(m_dir->filePath(u"usr/bin"_s)), m_dir->filePath(expected));
    }
};

WRENLOW_TEST(LinuxTunnelTest)
#include "tst_linuxtunnel.moc"
