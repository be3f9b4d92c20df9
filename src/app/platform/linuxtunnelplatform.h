#pragma once

#include "app/platform/linuxtunnelconnection.h"
#include "app/platform/tunnelprogram.h"
#include "app/tunnel/tunnelplatform.h"

#include <map>
#include <memory>

class DefaultsStore;

// Tunnel profiles on Linux: kept in the user's key-value store, run by the tunnel program, which
// the application launches and talks to over a local socket (docs/tunnel-platform.md).
class LinuxTunnelPlatform final : public TunnelPlatform {
    Q_DISABLE_COPY_MOVE(LinuxTunnelPlatform)

public:
    // `store` must outlive the platform and every profile it hands out.
    explicit LinuxTunnelPlatform(DefaultsStore &store, QString programPath = defaultTunnelProgramPath(),
        QString socketPath = defaultTunnelSocketPath(), TunnelTimings timings = {});
    ~LinuxTunnelPlatform() override;

    // The first load also finds a tunnel that already runs and starts an on-demand profile's tunnel.
    QCoro::Task<QList<TunnelProfilePtr>> loadAllFromPreferences() override;
    TunnelProfilePtr makeProfile() override;

private:
    std::shared_ptr<LinuxTunnelConnection> connectionFor(const QUuid &id);

    std::shared_ptr<TunnelSite> m_site;
    // One connection per profile for the platform's lifetime, shared by all objects of that profile.
    std::map<QUuid, std::shared_ptr<LinuxTunnelConnection>> m_connections;
    bool m_launchChecked = false;
};
