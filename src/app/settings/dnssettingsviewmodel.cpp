#include "app/settings/dnssettingsviewmodel.h"

#include "app/settings/settingsaccess.h"
#include "app/settings/vpnactions.h"

DNSSettingsViewModel::DNSSettingsViewModel(
    SettingsAccess &settings, SettingsActionScheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_scheduler(scheduler)
    , m_useLocalDNS(settings.settings().dns.prioritizeLocalDNS)
{
}

void DNSSettingsViewModel::setUseLocalDNS(bool useLocalDNS)
{
    if (m_useLocalDNS == useLocalDNS)
        return;
    m_useLocalDNS = useLocalDNS;
    Q_EMIT useLocalDNSChanged();
    AppSettings settings = m_settings.settings();
    settings.dns.prioritizeLocalDNS = useLocalDNS;
    m_settings.setSettings(settings);
    saveAndApply(m_settings, m_scheduler, VPNActions::restartBackend);
}
