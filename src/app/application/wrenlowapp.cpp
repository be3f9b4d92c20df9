#include "app/application/wrenlowapp.h"

#include "app/platform/linuxtunnelplatform.h"
#include "core/foundation/defaultsstore.h"
#include "core/foundation/log.h"

#include <QTimer>

WrenlowApp &WrenlowApp::shared()
{
    // Function statics: created once, in this order, on first use; the platform needs the store.
    static LinuxTunnelPlatform platform(DefaultsStore::standard());
    static WrenlowApp app(DefaultsStore::standard(), platform);
    return app;
}

WrenlowApp::WrenlowApp(DefaultsStore &store, TunnelPlatform &platform, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_groups(GroupCollection::load(store))
    , m_vpn(std::make_unique<VPNManager>(platform, [this] { return m_settings; }))
    , m_settings(AppSettings::load(store))
{
    // Queued so it runs after construction, and before the tunnel layer loads its profile.
    QTimer::singleShot(0, this, [this] {
        if (m_settings.general.connectOnStart)
            m_vpn->setAutoconnect(m_groups->selectedServer());
    });
}

WrenlowApp::~WrenlowApp() = default;

void WrenlowApp::setSettings(const AppSettings &settings)
{
    if (m_settings == settings)
        return;
    m_settings = settings;
    Q_EMIT settingsChanged();
}

QCoro::Task<> WrenlowApp::connect()
{
    const ServerPtr server = m_groups->selectedServer();
    if (!server)
        co_return;
    try {
        co_await m_vpn->enableVPN(server);
    } catch (const Error &error) {
        logError(QStringLiteral("Cannot enable VPN: ") + error.description());
    }
}
