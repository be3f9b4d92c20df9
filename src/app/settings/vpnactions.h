#pragma once

#include <QCoroTask>
#include <QObject>
#include <QSet>

#include <chrono>

class GroupCollection;
class SettingsAccess;
class VPNManager;

// What a settings change needs from a running tunnel, mildest last.
enum class VPNActions { restartBackend, restartTunnel, changeNetworkSettings };

// Gathers the actions of a burst of settings changes (typing a port, flipping several switches) so
// that the tunnel is told once, with the settings as they stand when the burst is over.
class SettingsActionScheduler final : public QObject {
    Q_OBJECT

public:
    // Actions run with the selected server of `groups` and the settings of the moment; all three
    // must outlive the scheduler.
    SettingsActionScheduler(
        SettingsAccess &settings, GroupCollection &groups, VPNManager &vpn, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(SettingsActionScheduler)

    // Only a connected tunnel is told about settings changes; the others pick them up when they start.
    bool isTunnelConnected() const;

    // How long actions are gathered before they run.
    std::chrono::milliseconds gatheringDelay() const { return m_gatheringDelay; }
    void setGatheringDelay(std::chrono::milliseconds delay) { m_gatheringDelay = delay; }

    const QSet<VPNActions> &pendingActions() const { return m_pendingActions; }
    bool isFlushScheduled() const { return m_isFlushScheduled; }

    // Queues the action; a flush already under way picks it up.
    void schedule(VPNActions action);

Q_SIGNALS:
    // A flush has ended and nothing of it is running any more.
    void flushed();

private:
    QCoro::Task<> flush();
    QCoro::Task<> perform(VPNActions action);

    SettingsAccess &m_settings;
    GroupCollection &m_groups;
    VPNManager &m_vpn;
    QSet<VPNActions> m_pendingActions;
    bool m_isFlushScheduled = false;
    std::chrono::milliseconds m_gatheringDelay = std::chrono::seconds(1);
};

// Stores the application's settings and, while the tunnel is connected, hands the action to the
// scheduler without waiting for it.
void saveAndApply(SettingsAccess &settings, SettingsActionScheduler &scheduler, VPNActions action);
