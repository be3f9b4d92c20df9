#include "app/settings/generalsettingsviewmodel.h"

#include "app/platform/loginitem.h"
#include "app/settings/settingsaccess.h"
#include "app/settings/vpnactions.h"
#include "core/foundation/log.h"

GeneralSettingsViewModel::GeneralSettingsViewModel(
    SettingsAccess &settings, SettingsActionScheduler &scheduler, LoginItem &loginItem, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_scheduler(scheduler)
    , m_loginItem(loginItem)
    , m_startAtLogin(loginItem.status() == LoginItemStatus::enabled)
    , m_connectOnStart(settings.settings().general.connectOnStart)
{
}

void GeneralSettingsViewModel::setStartAtLogin(bool startAtLogin)
{
    if (m_startAtLogin == startAtLogin)
        return;
    m_startAtLogin = startAtLogin;
    Q_EMIT startAtLoginChanged();
    applyStartAtLogin();
}

void GeneralSettingsViewModel::applyStartAtLogin()
{
    const bool enabled = m_loginItem.status() == LoginItemStatus::enabled;
    try {
        if (m_startAtLogin && !enabled)
            m_loginItem.registerItem();
        else if (!m_startAtLogin && enabled)
            m_loginItem.unregisterItem();
    } catch (const Error &error) {
        logError(QStringLiteral("There was an error registering / unregistering service: ") + error.description());
    }
}

void GeneralSettingsViewModel::setConnectOnStart(bool connectOnStart)
{
    if (m_connectOnStart == connectOnStart)
        return;
    m_connectOnStart = connectOnStart;
    Q_EMIT connectOnStartChanged();
    AppSettings settings = m_settings.settings();
    settings.general.connectOnStart = connectOnStart;
    m_settings.setSettings(settings);
    saveAndApply(m_settings, m_scheduler, VPNActions::restartBackend);
}
