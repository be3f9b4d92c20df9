#include "app/settings/vpnactions.h"

#include "app/catalogue/groupcollection.h"
#include "app/settings/settingsaccess.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/log.h"

#include <QCoroTimer>
#include <QPointer>

SettingsActionScheduler::SettingsActionScheduler(
    SettingsAccess &settings, GroupCollection &groups, VPNManager &vpn, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_groups(groups)
    , m_vpn(vpn)
{
}

bool SettingsActionScheduler::isTunnelConnected() const
{
    return m_vpn.status() == VPNStatus::connected;
}

void SettingsActionScheduler::schedule(VPNActions action)
{
    m_pendingActions.insert(action);
    if (m_isFlushScheduled)
        return;
    m_isFlushScheduled = true;
    // The flush is kept alive by the connection and dropped with the scheduler.
    QCoro::connect(flush(), this, [this] {
        m_isFlushScheduled = false;
        Q_EMIT flushed();
    });
}

QCoro::Task<> SettingsActionScheduler::flush()
{
    const QPointer<SettingsActionScheduler> self(this);
    co_await QCoro::sleepFor(m_gatheringDelay);
    if (!self)
        co_return;
    if (m_pendingActions.contains(VPNActions::restartTunnel)) {
        // A restart rewrites the whole profile, which covers every other action; what arrives
        // while it runs waits for the next change to start a flush.
        m_pendingActions.clear();
        co_await perform(VPNActions::restartTunnel);
        co_return;
    }
    while (self && !m_pendingActions.isEmpty()) {
        const VPNActions action = *m_pendingActions.cbegin();
        m_pendingActions.erase(m_pendingActions.cbegin());
        co_await perform(action);
    }
}

QCoro::Task<> SettingsActionScheduler::perform(VPNActions action)
{
    ServerPtr server = m_groups.selectedServer();
    if (!server)
        co_return;
    // The settings of the moment, not those of the change that queued the action.
    AppSettings settings = m_settings.settings();
    VPNManager &vpn = m_vpn;
    try {
        switch (action) {
        case VPNActions::restartBackend:
            co_await vpn.changeServer(std::move(server), std::move(settings));
            break;
        case VPNActions::restartTunnel:
            co_await vpn.restartTunnel(std::move(server), std::move(settings));
            break;
        case VPNActions::changeNetworkSettings:
            co_await vpn.changeNetworkSettings(std::move(server), std::move(settings));
            break;
        }
    } catch (const Error &error) {
        logError(QStringLiteral("Error performing action when saving settings: ") + error.description());
    } catch (const std::exception &error) {
        logError(QStringLiteral("Error performing action when saving settings: ") + QString::fromUtf8(error.what()));
    }
}

void saveAndApply(SettingsAccess &settings, SettingsActionScheduler &scheduler, VPNActions action)
{
    settings.saveSettings();
    if (!scheduler.isTunnelConnected())
        return;
    scheduler.schedule(action);
}
