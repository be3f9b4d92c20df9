#pragma once

#include "app/tunnel/tunnelplatform.h"
#include "core/tunnel/tunnelmessages.h"

#include <QMetaObject>

// A connected tunnel that answers every status check "online" on the next turn of the event
// loop, as a real provider's answer would arrive.
class InstantTunnelConnection final : public TunnelConnection {
public:
    VPNStatus status() const override { return VPNStatus::connected; }
    void startVPNTunnel() override { }
    void stopVPNTunnel() override { }
    QCoro::Task<std::optional<PlatformError>> fetchLastDisconnectError() override { co_return std::nullopt; }
    void sendProviderMessage(const QByteArray &, ResponseHandler handler) override
    {
        ++messages;
        QMetaObject::invokeMethod(
            this,
            [handler = std::move(handler)] {
                handler(encodeTunnelRequestResult(TunnelResults::OnlineStatusResult { OnlineStatus::online }));
            },
            Qt::QueuedConnection);
    }

    int messages = 0;
};

class InstantTunnelProfile final : public TunnelProfile {
public:
    QCoro::Task<> saveToPreferences() override { co_return; }
    QCoro::Task<> loadFromPreferences() override { co_return; }
    QCoro::Task<> removeFromPreferences() override { co_return; }
    TunnelConnection *connection() override { return &tunnel; }

    InstantTunnelConnection tunnel;
};

class InstantTunnelPlatform final : public TunnelPlatform {
public:
    QCoro::Task<QList<TunnelProfilePtr>> loadAllFromPreferences() override
    {
        co_return QList<TunnelProfilePtr> { profile };
    }
    TunnelProfilePtr makeProfile() override { return std::make_shared<InstantTunnelProfile>(); }

    std::shared_ptr<InstantTunnelProfile> profile = std::make_shared<InstantTunnelProfile>();
};
