#include "app/application/wrenlowapp.h"

#include "app/catalogue/subscriptionusagestore.h"

#include "core/foundation/defaultsstore.h"
#include "core/foundation/log.h"

#include <QTimer>

namespace {
WrenlowApp *g_instance = nullptr;
}

WrenlowApp &WrenlowApp::shared()
{
    Q_ASSERT_X(g_instance, "WrenlowApp::shared", "no application model exists");
    return *g_instance;
}

WrenlowApp::WrenlowApp(DefaultsStore &store, TunnelPlatform &platform, CatalogueLoading loading, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_groups(loading == CatalogueLoading::beforeReturning ? GroupCollection::load(store)
                                                            : std::make_unique<GroupCollection>(store))
    , m_vpn(std::make_unique<VPNManager>(platform, [this] { return m_settings; }))
    , m_settings(AppSettings::load(store))
    , m_subscriptions(std::make_unique<SubscriptionLoader>(
          [vpn = m_vpn.get()](QUrl url) { return vpn->fetchThroughActiveTunnel(std::move(url)); }))
    , m_usages(std::make_unique<SubscriptionUsageStore>(store))
{
    m_subscriptions->setUsageSeen([usages = m_usages.get()](const QString &url,
                                      const std::optional<SubscriptionUsage> &usage) { usages->record(url, usage); });
    Q_ASSERT_X(!g_instance, "WrenlowApp", "only one application model may exist at a time");
    g_instance = this;
    if (loading == CatalogueLoading::inBackground) {
        m_groups->loadInBackground([this] { catalogueInPlace(); });
        return;
    }
    // Queued so it runs after construction, and before the tunnel layer loads its profile.
    QTimer::singleShot(0, this, [this] { catalogueInPlace(); });
}

void WrenlowApp::catalogueInPlace()
{
    m_catalogueLoaded = true;
    checkConnectOnStart();
    Q_EMIT catalogueLoaded();
    if (std::exchange(m_profileLoadWanted, false))
        loadTunnelProfile();
}

void WrenlowApp::checkConnectOnStart()
{
    if (m_settings.general.connectOnStart)
        m_vpn->setAutoconnect(m_groups->selectedServer());
}

WrenlowApp::~WrenlowApp()
{
    if (g_instance == this)
        g_instance = nullptr;
}

void WrenlowApp::setSettings(const AppSettings &settings)
{
    if (m_settings == settings)
        return;
    m_settings = settings;
    Q_EMIT settingsChanged();
}

void WrenlowApp::saveSettings()
{
    m_settings.save(m_store);
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

void WrenlowApp::loadTunnelProfile()
{
    // The connect-on-start server comes from the catalogue.
    if (!m_catalogueLoaded) {
        m_profileLoadWanted = true;
        return;
    }
    // loadManager logs its own failures; the connection keeps the task alive until it ends.
    QCoro::connect(m_vpn->loadManager(), this, [] {});
}
