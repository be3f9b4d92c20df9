#pragma once

#include "catalogue/server.h"

#include <QCoroTask>
#include <QList>
#include <QString>

class VPNManager;

// Downloads a subscription (through the running tunnel when the direct download fails while the
// VPN is up) and parses it into new servers in content order. Throws an Error whose description
// is fit to show to the user.
QCoro::Task<QList<ServerPtr>> loadSubscriptionServers(QString url, VPNManager &vpn);
