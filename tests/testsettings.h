#pragma once

#include "core/settings/appsettings.h"

#include <QHostAddress>
#include <QTcpServer>

// Settings a real tunnel can run with on a test machine: the HTTP proxy on a loopback port nobody
// uses, no transparent interception, no changes to the desktop's proxy settings.
inline AppSettings loopbackSettings()
{
    AppSettings settings;
    settings.network.transparentProxy = false;
    settings.network.systemProxy = false;
    settings.network.httpProxy = true;
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHost, 0))
        settings.network.httpProxyPort = probe.serverPort();
    return settings;
}
