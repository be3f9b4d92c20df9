#include "app/settings/networksettingsviewmodel.h"

#include "app/settings/settingsaccess.h"
#include "app/settings/vpnactions.h"
#include "core/foundation/decimal.h"

#include <functional>

namespace {

void update(SettingsAccess &access, SettingsActionScheduler &scheduler, VPNActions action,
    const std::function<void(NetworkSettings &)> &change)
{
    AppSettings settings = access.settings();
    change(settings.network);
    access.setSettings(settings);
    saveAndApply(access, scheduler, action);
}

} // namespace

NetworkSettingsViewModel::NetworkSettingsViewModel(
    SettingsAccess &settings, SettingsActionScheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_scheduler(scheduler)
{
    const NetworkSettings &network = settings.settings().network;
    m_transparentProxy = network.transparentProxy;
    m_httpProxy = network.httpProxy;
    m_systemProxy = network.systemProxy;
    m_httpProxyPort = QString::number(network.httpProxyPort);
}

void NetworkSettingsViewModel::setTransparentProxy(bool transparentProxy)
{
    if (m_transparentProxy == transparentProxy)
        return;
    const bool warned = noProxyWarning();
    m_transparentProxy = transparentProxy;
    Q_EMIT transparentProxyChanged();
    if (warned != noProxyWarning())
        Q_EMIT noProxyWarningChanged();
    update(m_settings, m_scheduler, VPNActions::changeNetworkSettings,
        [transparentProxy](NetworkSettings &network) { network.transparentProxy = transparentProxy; });
}

void NetworkSettingsViewModel::setHttpProxy(bool httpProxy)
{
    if (m_httpProxy == httpProxy)
        return;
    const bool warned = noProxyWarning();
    m_httpProxy = httpProxy;
    Q_EMIT httpProxyChanged();
    if (warned != noProxyWarning())
        Q_EMIT noProxyWarningChanged();
    update(m_settings, m_scheduler, VPNActions::restartTunnel,
        [httpProxy](NetworkSettings &network) { network.httpProxy = httpProxy; });
}

void NetworkSettingsViewModel::setSystemProxy(bool systemProxy)
{
    if (m_systemProxy == systemProxy)
        return;
    m_systemProxy = systemProxy;
    Q_EMIT systemProxyChanged();
    update(m_settings, m_scheduler, VPNActions::restartTunnel,
        [systemProxy](NetworkSettings &network) { network.systemProxy = systemProxy; });
}

void NetworkSettingsViewModel::setHttpProxyPort(const QString &httpProxyPort)
{
    if (m_httpProxyPort == httpProxyPort)
        return;
    m_httpProxyPort = httpProxyPort;
    Q_EMIT httpProxyPortChanged();
    applyPort();
}

QString NetworkSettingsViewModel::address() const
{
    return QStringLiteral("127.0.0.1:") + m_httpProxyPort;
}

std::optional<qint64> NetworkSettingsViewModel::parsePort(const QString &text)
{
    const auto value = parseDecimal(text);
    if (!value || *value < 1 || *value > 65535)
        return std::nullopt;
    return value;
}

void NetworkSettingsViewModel::applyPort()
{
    // Invalid text stays in the field; the stored port keeps its last valid value.
    const std::optional<qint64> port = parsePort(m_httpProxyPort);
    if (!port)
        return;
    update(m_settings, m_scheduler, VPNActions::restartTunnel,
        [port](NetworkSettings &network) { network.httpProxyPort = *port; });
}
