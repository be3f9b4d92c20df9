#pragma once

#include "app/catalogue/servergroup.h"
#include "app/tunnel/extensionactivation.h"
#include "app/tunnel/tunnelplatform.h"
#include "core/catalogue/server.h"
#include "taskfailure.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QTest>

#include <coroutine>
#include <deque>

// In-process stand-ins for the operating system's tunnel profiles and extension activation, which
// the tests steer: what loads, which writes fail or are held until released, which status the
// tunnel reports and what it answers to messages.

class FakeTunnelPlatform;

class FakeTunnelConnection final : public TunnelConnection {
public:
    struct Message {
        QByteArray bytes;
        ResponseHandler handler;
    };

    VPNStatus status() const override { return currentStatus; }
    void startVPNTunnel() override;
    void stopVPNTunnel() override { ++stops; }
    QCoro::Task<std::optional<PlatformError>> fetchLastDisconnectError() override { co_return lastDisconnectError; }
    void sendProviderMessage(const QByteArray &message, ResponseHandler handler) override;

    // Sets the status and notifies, as the platform does.
    void setStatus(VPNStatus status);
    // Answers message `index` once.
    void answer(qsizetype index, std::optional<QByteArray> response);

    VPNStatus currentStatus = VPNStatus::disconnected;
    int starts = 0;
    int stops = 0;
    std::optional<QString> startFailure;
    std::optional<QString> sendFailure;
    std::optional<PlatformError> lastDisconnectError;
    QList<Message> messages;
};

// A profile as it was when a save of it began.
struct SavedProfile {
    QString localizedDescription;
    bool isEnabled = false;
    std::optional<TunnelProtocol> protocolConfiguration;
    QList<OnDemandConnectRule> onDemandRules;
    bool isOnDemandEnabled = false;
};

class FakeTunnelProfile final : public TunnelProfile {
public:
    explicit FakeTunnelProfile(FakeTunnelPlatform &platform)
        : m_platform(platform)
    {
    }

    QCoro::Task<> saveToPreferences() override;
    QCoro::Task<> loadFromPreferences() override { co_return; }
    QCoro::Task<> removeFromPreferences() override;
    TunnelConnection *connection() override { return &fakeConnection; }

    FakeTunnelConnection fakeConnection;

private:
    FakeTunnelPlatform &m_platform;
};

class FakeTunnelPlatform final : public TunnelPlatform {
public:
    // How the platform carries out one kind of profile call. A held call waits for releaseHeld();
    // the failure is looked at when the call goes on, so a held call can be made to fail.
    struct Script {
        bool hold = false;
        std::optional<QString> failure;
    };

    QCoro::Task<QList<TunnelProfilePtr>> loadAllFromPreferences() override;
    TunnelProfilePtr makeProfile() override;

    std::shared_ptr<FakeTunnelProfile> addSavedProfile(VPNStatus status = VPNStatus::disconnected);
    // Lets the oldest held call go on; false when none is held.
    bool releaseHeld();
    int startsEverywhere() const;
    QStringList savedDescriptions() const;

    QCoro::Task<> perform(const Script &script);

    QList<std::shared_ptr<FakeTunnelProfile>> stored;
    QList<std::shared_ptr<FakeTunnelProfile>> made;
    std::optional<QString> loadAllFailure;
    Script saveScript;
    Script removeScript;
    QList<SavedProfile> saves;
    int removes = 0;

private:
    std::deque<std::coroutine_handle<>> m_held;
};

class FakeExtensionActivation final : public ExtensionActivation {
public:
    void submit() override { ++submits; }
    int submits = 0;
};

// Without settings, a Shadowsocks server whose host is the name in lower case.
ServerPtr makeTestServer(const QString &name, ServerSettings settings = {});
// A subscription at "https://<name>" of such servers, updated automatically.
ServerGroupPtr makeTestSubscription(const QString &name, const QStringList &serverNames);

inline QStringList names(const QList<ServerPtr> &servers)
{
    QStringList result;
    for (const auto &server : servers)
        result.append(server->name());
    return result;
}

class VPNManager;
// Saves one profile whose tunnel is in `status` and has the manager load it, as at program start.
FakeTunnelConnection &loadSavedTunnel(FakeTunnelPlatform &platform, VPNManager &vpn, VPNStatus status);

// The log line must be written before the test ends.
inline void expectLog(QtMsgType type, const QString &text)
{
    QTest::ignoreMessage(type, text.toUtf8().constData());
}

// Delivers the queued notifications and answers, which is what the program's event loop does next.
inline void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}
