#include "app/settings/dnssettingsviewmodel.h"

#include "app/application/wrenlowapp.h"
#include "app/settings/vpnactions.h"

DNSSettingsViewModel::DNSSettingsViewModel(SettingsActionScheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_scheduler(scheduler)
    , m_useLocalDNS(scheduler.app().settings().dns.prioritizeLocalDNS)
{
}

void DNSSettingsViewModel::setUseLocalDNS(bool useLocalDNS)
{
    if (m_useLocalDNS == useLocalDNS)
        return;
    m_useLocalDNS = useLocalDNS;
    Q_EMIT useLocalDNSChanged();
    WrenlowApp &app = m_scheduler.app();
    AppSettings settings = app.settings();
    settings.dns.prioritizeLocalDNS = useLocalDNS;
    app.setSettings(settings);
    saveAndApply(m_scheduler, VPNActions::restartBackend);
}
