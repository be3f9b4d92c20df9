#include "faketunnelplatform.h"

#include "app/tunnel/vpnmanager.h"

void FakeTunnelConnection::startVPNTunnel()
{
    ++starts;
    if (startFailure)
        throw PlatformFailure(*startFailure);
}

void FakeTunnelConnection::sendProviderMessage(const QByteArray &message, ResponseHandler handler)
{
    if (sendFailure)
        throw PlatformFailure(*sendFailure);
    messages.append({ message, std::move(handler) });
}

void FakeTunnelConnection::setStatus(VPNStatus status)
{
    currentStatus = status;
    Q_EMIT statusChanged();
}

void FakeTunnelConnection::answer(qsizetype index, std::optional<QByteArray> response)
{
    // A message is answered once; the handler goes with the answer.
    ResponseHandler handler = std::exchange(messages[index].handler, nullptr);
    Q_ASSERT(handler);
    handler(std::move(response));
}

QCoro::Task<> FakeTunnelProfile::saveToPreferences()
{
    m_platform.saves.append(
        { localizedDescription, isEnabled, protocolConfiguration, onDemandRules, isOnDemandEnabled });
    co_await m_platform.perform(m_platform.saveScript);
    // A saved profile has a connection the system can start.
    if (fakeConnection.currentStatus == VPNStatus::invalid)
        fakeConnection.currentStatus = VPNStatus::disconnected;
}

QCoro::Task<> FakeTunnelProfile::removeFromPreferences()
{
    co_await m_platform.perform(m_platform.removeScript);
    ++m_platform.removes;
}

namespace {

// Suspends until FakeTunnelPlatform::releaseHeld() resumes it.
struct HeldCall {
    std::deque<std::coroutine_handle<>> &held;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) { held.push_back(handle); }
    void await_resume() const noexcept { }
};

} // namespace

QCoro::Task<> FakeTunnelPlatform::perform(const Script &script)
{
    if (script.hold)
        co_await HeldCall { m_held };
    if (script.failure)
        throw PlatformFailure(*script.failure);
}

QCoro::Task<QList<TunnelProfilePtr>> FakeTunnelPlatform::loadAllFromPreferences()
{
    if (loadAllFailure)
        throw PlatformFailure(*loadAllFailure);
    co_return QList<TunnelProfilePtr>(stored.cbegin(), stored.cend());
}

TunnelProfilePtr FakeTunnelPlatform::makeProfile()
{
    auto profile = std::make_shared<FakeTunnelProfile>(*this);
    profile->fakeConnection.currentStatus = VPNStatus::invalid;
    made.append(profile);
    return profile;
}

std::shared_ptr<FakeTunnelProfile> FakeTunnelPlatform::addSavedProfile(VPNStatus status)
{
    auto profile = std::make_shared<FakeTunnelProfile>(*this);
    profile->localizedDescription = QStringLiteral("Saved");
    profile->isEnabled = true;
    profile->fakeConnection.currentStatus = status;
    stored.append(profile);
    return profile;
}

bool FakeTunnelPlatform::releaseHeld()
{
    if (m_held.empty())
        return false;
    const auto handle = m_held.front();
    m_held.pop_front();
    handle.resume();
    return true;
}

int FakeTunnelPlatform::startsEverywhere() const
{
    int starts = 0;
    for (const auto &profile : stored)
        starts += profile->fakeConnection.starts;
    for (const auto &profile : made)
        starts += profile->fakeConnection.starts;
    return starts;
}

QStringList FakeTunnelPlatform::savedDescriptions() const
{
    QStringList descriptions;
    for (const auto &save : saves)
        descriptions.append(save.localizedDescription);
    return descriptions;
}

ServerPtr makeTestServer(const QString &name, ServerSettings settings)
{
    if (const auto *shadowsocks = std::get_if<ShadowsockSettings>(&settings);
        shadowsocks && shadowsocks->address.isEmpty())
        settings = ShadowsockSettings { name.toLower() + QStringLiteral(".example"), 8388, ShadowsocksCipher::aes256Gcm,
            QStringLiteral("pw") };
    return std::make_shared<Server>(name, std::move(settings), false);
}

ServerGroupPtr makeTestSubscription(const QString &name, const QStringList &serverNames)
{
    QList<ServerPtr> servers;
    for (const auto &serverName : serverNames)
        servers.append(makeTestServer(serverName));
    return std::make_shared<ServerGroup>(SubscriptionType { name, QStringLiteral("https://") + name, true }, servers);
}

FakeTunnelConnection &loadSavedTunnel(FakeTunnelPlatform &platform, VPNManager &vpn, VPNStatus status)
{
    auto profile = platform.addSavedProfile(status);
    QCoro::waitFor(vpn.loadManager());
    return profile->fakeConnection;
}
