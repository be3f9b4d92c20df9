#pragma once

#include "core/catalogue/server.h"

#include <QCoroTask>
#include <QList>

#include <functional>

// What the status checks ask of the tunnel layer; the VPN manager answers.
class StatusProbe {
public:
    virtual ~StatusProbe() = default;

    virtual QCoro::Task<OnlineStatus> checkStatus(ServerPtr server) = 0;
    // The server the running tunnel uses.
    virtual QCoro::Task<OnlineStatus> checkCurrentStatus() = 0;
    // Checks go through a tunnel profile; without one each check would try to make it.
    virtual bool hasProfile() const = 0;
    virtual QCoro::Task<> prepareProfile(ServerPtr server) = 0;
};

// Reachability of one server through the tunnel provider; the server shows inProgress meanwhile.
QCoro::Task<> checkStatus(ServerPtr server, StatusProbe &probe);
// The same for the server the running tunnel uses; unknown while no tunnel is connected.
QCoro::Task<> checkCurrentStatus(ServerPtr server, StatusProbe &probe);

// Checks all servers at once. A missing tunnel profile is first installed from the first server;
// when that fails nothing is checked. setChecking(true) before the checks, (false) after them.
QCoro::Task<> checkStatuses(QList<ServerPtr> servers, StatusProbe &probe, std::function<void(bool)> setChecking = {});
