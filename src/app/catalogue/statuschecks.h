#pragma once

#include "core/catalogue/server.h"

#include <QCoroTask>
#include <QList>

#include <functional>

class VPNManager;

// Reachability of one server through the tunnel provider; the server shows inProgress meanwhile.
QCoro::Task<> checkStatus(ServerPtr server, VPNManager &vpn);
// The same for the server the running tunnel uses; unknown while no tunnel is connected.
QCoro::Task<> checkCurrentStatus(ServerPtr server, VPNManager &vpn);

// Checks all servers at once. A missing tunnel profile is first installed from the first server;
// when that fails nothing is checked. setChecking(true) before the checks, (false) after them.
QCoro::Task<> checkStatuses(QList<ServerPtr> servers, VPNManager &vpn, std::function<void(bool)> setChecking = {});
