#pragma once

#include "app/platform/profilestore.h"
#include "app/tunnel/tunnelplatform.h"

#include <memory>

class LinuxTunnelConnection;
struct TunnelSite;

// A tunnel profile kept in the profile store; its connection is shared with every other object
// for the same profile, so all of them see one tunnel.
class LinuxTunnelProfile final : public TunnelProfile {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LinuxTunnelProfile)

public:
    LinuxTunnelProfile(std::shared_ptr<TunnelSite> site, std::shared_ptr<LinuxTunnelConnection> connection);

    QUuid id() const;
    // Takes every field from the stored form.
    void assign(const StoredProfile &stored);
    StoredProfile toStored() const;

    QCoro::Task<> saveToPreferences() override;
    QCoro::Task<> loadFromPreferences() override;
    QCoro::Task<> removeFromPreferences() override;
    TunnelConnection *connection() override;

private:
    std::shared_ptr<TunnelSite> m_site;
    std::shared_ptr<LinuxTunnelConnection> m_connection;
};
