#pragma once

#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionusagestore.h"
#include "app/settings/settingsaccess.h"
#include "app/tunnel/vpnmanager.h"
#include "core/settings/appsettings.h"

#include <QCoroTask>
#include <QObject>

#include <memory>

class DefaultsStore;
class TunnelPlatform;

// The application model: the catalogue, the VPN manager, the current settings and the subscription
// downloads. It owns these and nothing else. `main` makes the one instance of the program.
class WrenlowApp final : public QObject, public SettingsAccess {
    Q_OBJECT
    Q_PROPERTY(AppSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)

public:
    // The instance that exists now; there must be one. Like QCoreApplication::instance(), it is for
    // the few places that cannot be handed the model.
    static WrenlowApp &shared();

    enum class CatalogueLoading {
        // The catalogue is in place when the constructor returns.
        beforeReturning,
        // A large catalogue takes hundreds of milliseconds to decode: the program's window comes
        // up meanwhile, and the connect-on-start check and the profile load wait for it.
        inBackground,
    };

    // Loads the catalogue, creates the VPN manager, loads the settings and queues the
    // connect-on-start check. The store and the platform must outlive the model. Only one model
    // may exist at a time.
    WrenlowApp(DefaultsStore &store, TunnelPlatform &platform,
        CatalogueLoading loading = CatalogueLoading::beforeReturning, QObject *parent = nullptr);
    ~WrenlowApp() override;
    Q_DISABLE_COPY_MOVE(WrenlowApp)

    GroupCollection &groups() const { return *m_groups; }
    VPNManager &vpn() const { return *m_vpn; }
    SubscriptionLoader &subscriptions() const { return *m_subscriptions; }
    SubscriptionUsageStore &usages() const { return *m_usages; }
    DefaultsStore &store() const { return m_store; }

    const AppSettings &settings() const override { return m_settings; }
    // Replaces the settings in memory; storing them is saveSettings().
    void setSettings(const AppSettings &settings) override;
    void saveSettings() override;

    // Connects to the selected server; failures are logged, never shown.
    QCoro::Task<> connect();

    // Loads the saved tunnel profile, which finds a tunnel that already runs and then connects to
    // the connect-on-start server; after the catalogue is in place. Returns at once; failures are
    // logged.
    void loadTunnelProfile();

    bool isCatalogueLoaded() const { return m_catalogueLoaded; }

Q_SIGNALS:
    void settingsChanged();
    void catalogueLoaded();

private:
    void checkConnectOnStart();
    void catalogueInPlace();

    DefaultsStore &m_store;
    std::unique_ptr<GroupCollection> m_groups;
    std::unique_ptr<VPNManager> m_vpn;
    AppSettings m_settings;
    std::unique_ptr<SubscriptionLoader> m_subscriptions;
    std::unique_ptr<SubscriptionUsageStore> m_usages;
    bool m_catalogueLoaded = false;
    bool m_profileLoadWanted = false;
};
