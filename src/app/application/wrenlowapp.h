#pragma once

#include "app/catalogue/groupcollection.h"
#include "app/tunnel/vpnmanager.h"
#include "core/settings/appsettings.h"

#include <QCoroTask>
#include <QObject>

#include <memory>

class DefaultsStore;
class TunnelPlatform;

// The process-wide application model: the catalogue, the VPN manager and the current settings.
// It owns these and nothing else.
class WrenlowApp final : public QObject {
    Q_OBJECT
    Q_PROPERTY(AppSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)

public:
    // The one model of the process, created on first use over the user's store and the system's
    // tunnel layer. Must first be reached on the main thread, after the application object exists.
    static WrenlowApp &shared();

    // Loads the catalogue, creates the VPN manager, loads the settings and queues the
    // connect-on-start check. The store and the platform must outlive the model.
    WrenlowApp(DefaultsStore &store, TunnelPlatform &platform, QObject *parent = nullptr);
    ~WrenlowApp() override;
    Q_DISABLE_COPY_MOVE(WrenlowApp)

    GroupCollection &groups() const { return *m_groups; }
    VPNManager &vpn() const { return *m_vpn; }
    DefaultsStore &store() const { return m_store; }

    const AppSettings &settings() const { return m_settings; }
    // Replaces the settings in memory; storing them is the caller's step (AppSettings::save).
    void setSettings(const AppSettings &settings);

    // Connects to the selected server; failures are logged, never shown.
    QCoro::Task<> connect();

Q_SIGNALS:
    void settingsChanged();

private:
    DefaultsStore &m_store;
    std::unique_ptr<GroupCollection> m_groups;
    std::unique_ptr<VPNManager> m_vpn;
    AppSettings m_settings;
};
