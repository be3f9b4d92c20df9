#pragma once

#include "core/foundation/error.h"
#include "core/tunnel/tunnelprovidererror.h"
#include "core/tunnel/vpnstatus.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// What the operating system offers for running a tunnel: saved tunnel profiles, each with a
// connection that starts and stops the tunnel program and carries messages to it. The VPN manager
// sees only these interfaces; platform/linux* implements them over our own tunnel program, and the
// tests use an in-process fake.

// What the tunnel program reads at start, besides the backend document.
struct ProviderConfiguration {
    QString backend;
    QString remoteAddress;
    bool isTransparentProxy = true;
    bool isHTTPProxy = false;
    bool isSystemProxy = true;
    qint64 httpProxyPort = 8080;
    friend bool operator==(const ProviderConfiguration &, const ProviderConfiguration &) = default;
};

struct TunnelProtocol {
    bool disconnectOnSleep = false;
    QString serverAddress;
    ProviderConfiguration providerConfiguration;
    friend bool operator==(const TunnelProtocol &, const TunnelProtocol &) = default;
};

// Connect whenever any interface is up; the only rule the program uses.
struct OnDemandConnectRule {
    int interfaceTypeMatch = 0;
    friend bool operator==(const OnDemandConnectRule &, const OnDemandConnectRule &) = default;
};

// An operation of the platform that failed; description() is the platform's text.
class PlatformFailure final : public Error {
public:
    explicit PlatformFailure(QString text)
        : m_text(std::move(text))
    {
    }
    QString description() const override { return m_text; }

private:
    QString m_text;
};

// The running side of a profile. statusChanged() may be emitted from any thread; receivers read
// status() when they handle it.
class TunnelConnection : public QObject {
    Q_OBJECT

public:
    using ResponseHandler = std::function<void(std::optional<QByteArray> response)>;

    using QObject::QObject;

    virtual VPNStatus status() const = 0;
    // Throws PlatformFailure when the tunnel cannot even be asked to start.
    virtual void startVPNTunnel() = 0;
    virtual void stopVPNTunnel() = 0;
    // The error that ended the last connection, if the tunnel reported one.
    virtual QCoro::Task<std::optional<PlatformError>> fetchLastDisconnectError() = 0;
    // Sends one message to the running tunnel. Throws PlatformFailure when it cannot be sent;
    // otherwise the handler runs exactly once, later, with the answer or with none.
    virtual void sendProviderMessage(const QByteArray &message, ResponseHandler handler) = 0;

Q_SIGNALS:
    void statusChanged();
};

// One saved tunnel profile. Edits are made on the object and take effect with saveToPreferences().
class TunnelProfile : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    QString localizedDescription;
    bool isEnabled = false;
    std::optional<TunnelProtocol> protocolConfiguration;
    QList<OnDemandConnectRule> onDemandRules;
    bool isOnDemandEnabled = false;

    // Each throws PlatformFailure.
    virtual QCoro::Task<> saveToPreferences() = 0;
    virtual QCoro::Task<> loadFromPreferences() = 0;
    virtual QCoro::Task<> removeFromPreferences() = 0;
    virtual TunnelConnection *connection() = 0;
};

using TunnelProfilePtr = std::shared_ptr<TunnelProfile>;

class TunnelPlatform {
public:
    virtual ~TunnelPlatform() = default;

    // The saved profiles in stored order; throws PlatformFailure.
    virtual QCoro::Task<QList<TunnelProfilePtr>> loadAllFromPreferences() = 0;
    // A profile that exists only in memory until it is saved.
    virtual TunnelProfilePtr makeProfile() = 0;
};
