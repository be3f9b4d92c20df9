#pragma once

#include "core/catalogue/server.h"
#include "core/tunnel/tunnelmessages.h"
#include "ui/common/screenstack.h"

#include <QCoroTask>
#include <QPointer>
#include <QTimer>

class Alert;
class BusyIndicator;
class FullGraph;
class GroupCollection;
class QAbstractButton;
class QLabel;
class QPropertyAnimation;
class QPushButton;
class QToolButton;
class SettingsAccess;
class StatusDot;
class SubscriptionLoader;
class SystemExtensionManager;
class ToggleSwitch;
class VPNManager;

// The main window's home while a server is selected: the proxy switch with the tunnel's status,
// the traffic graph while the proxy is on, the tunnel program's activation state, and the selected
// server with its address, reachability and a check button. It turns the switch into connect and
// disconnect, hands a new selection to the tunnel, activates the tunnel program and runs the
// hourly subscription check.
class MainView final : public Screen {
    Q_OBJECT

public:
    // Every model must outlive the view.
    MainView(GroupCollection &groups, VPNManager &vpn, SystemExtensionManager &extensions, SettingsAccess &settings,
        SubscriptionLoader &subscriptions, QWidget *parent = nullptr);
    ~MainView() override;
    Q_DISABLE_COPY_MOVE(MainView)

    // The switch. Every change, the user's or the view's own, goes through the connect rule: a
    // value that matches whether the tunnel is active asks nothing of the tunnel.
    bool isProxyEnabled() const { return m_isProxyEnabled; }
    void setProxyEnabled(bool enabled);

    // The server shown: the selection as it was last set.
    ServerPtr selectedServer() const { return m_selectedServer; }
    const GraphData &graphData() const { return m_graphData; }
    Alert &alert() const { return *m_alert; }

    // What one tick of each timer does; the timers call these.
    void refreshGraph();
    void checkSubscriptions();
    QTimer &graphTimer() { return m_graphTimer; }
    QTimer &subscriptionTimer() { return m_subscriptionTimer; }

Q_SIGNALS:
    void serversListRequested();
    void settingsRequested();

private:
    void onAppeared();
    void onStatusChanged();
    void onExtensionStatusChanged();
    void onSelectionChanged();
    void onCheckStatusClicked();
    void proxyEnabledChanged(bool enabled);
    void showServer(const ServerPtr &server);
    void showServerStatus();
    void showStatusText();
    void showExtensionState();
    void setGraphData(const GraphData &data);
    void animateGraph(bool shown);

    QCoro::Task<> switchTunnel(bool enabled, ServerPtr server);
    QCoro::Task<> changeServer(ServerPtr server);
    QCoro::Task<> fetchGraph();
    QCoro::Task<> refreshOnAppearing();
    QCoro::Task<> runSubscriptionCheck();
    // Keeps a task running after the call that started it returns; failures are the task's own.
    void start(QCoro::Task<> &&task);

    GroupCollection &m_groups;
    VPNManager &m_vpn;
    SystemExtensionManager &m_extensions;
    SettingsAccess &m_settings;
    SubscriptionLoader &m_subscriptions;

    ServerPtr m_selectedServer;
    QList<QMetaObject::Connection> m_serverConnections;
    GraphData m_graphData;
    bool m_isProxyEnabled = false;
    bool m_activated = false;
    bool m_fetchingGraph = false;
    Alert *m_alert;
    QTimer m_subscriptionTimer;
    QTimer m_graphTimer;

    QLabel *m_statusText;
    ToggleSwitch *m_switch;
    QWidget *m_graphHolder;
    FullGraph *m_graph;
    QPropertyAnimation *m_graphAnimation;
    QLabel *m_extensionMessage;
    QAbstractButton *m_serverRow;
    QLabel *m_serverName;
    QLabel *m_protocol;
    QLabel *m_address;
    BusyIndicator *m_busy;
    StatusDot *m_statusDot;
    QLabel *m_onlineStatus;
    QPushButton *m_checkStatus;
    QToolButton *m_settingsButton;
};
