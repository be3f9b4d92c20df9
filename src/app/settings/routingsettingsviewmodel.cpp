#include "app/settings/routingsettingsviewmodel.h"

#include "app/settings/geoipcatalogue.h"
#include "app/settings/settingsaccess.h"
#include "app/settings/vpnactions.h"

#include <algorithm>

RoutingSettingsViewModel::RoutingSettingsViewModel(
    SettingsAccess &settings, SettingsActionScheduler &scheduler, QObject *parent)
    : RoutingSettingsViewModel(settings, scheduler, geoIPCatalogue, parent)
{
}

RoutingSettingsViewModel::RoutingSettingsViewModel(
    SettingsAccess &settings, SettingsActionScheduler &scheduler, Catalogue catalogue, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_scheduler(scheduler)
    , m_catalogue(std::move(catalogue))
    , m_regions(settings.settings().geoIP.regions)
    , m_isEnabled(settings.settings().geoIP.isEnabled)
{
}

void RoutingSettingsViewModel::setIsEnabled(bool isEnabled)
{
    if (m_isEnabled == isEnabled)
        return;
    m_isEnabled = isEnabled;
    Q_EMIT isEnabledChanged();
    AppSettings settings = m_settings.settings();
    settings.geoIP.isEnabled = isEnabled;
    m_settings.setSettings(settings);
    saveAndApply(m_settings, m_scheduler, VPNActions::restartBackend);
}

void RoutingSettingsViewModel::setSelectedRegion(const QString &label)
{
    if (m_selectedRegion == label)
        return;
    m_selectedRegion = label;
    Q_EMIT selectedRegionChanged();
}

void RoutingSettingsViewModel::addRegion(const QString &label)
{
    const auto hasLabel = [&label](const GeoIPRegion &region) { return region.label == label; };
    const QList<GeoIPRegion> &catalogue = m_catalogue();
    const auto found = std::find_if(catalogue.cbegin(), catalogue.cend(), hasLabel);
    if (found == catalogue.cend() || std::any_of(m_regions.cbegin(), m_regions.cend(), hasLabel))
        return;
    m_regions.append(*found);
    Q_EMIT regionsChanged();
    storeRegions();
}

void RoutingSettingsViewModel::removeSelectedRegion()
{
    if (!m_selectedRegion.isEmpty()) {
        const QString label = m_selectedRegion;
        m_regions.removeIf([&label](const GeoIPRegion &region) { return region.label == label; });
        Q_EMIT regionsChanged();
        storeRegions();
    }
    setSelectedRegion(QString());
}

void RoutingSettingsViewModel::storeRegions()
{
    AppSettings settings = m_settings.settings();
    settings.geoIP.regions = m_regions;
    m_settings.setSettings(settings);
    saveAndApply(m_settings, m_scheduler, VPNActions::restartBackend);
}
