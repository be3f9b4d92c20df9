#pragma once

#include "core/settings/appsettings.h"

#include <QHostAddress>
#include <QTcpServer>

// A port of 127.0.0.1 that was free a moment ago, and so nothing listens on; 0 when none was found.
inline quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Settings a real tunnel can run with on a test machine: the HTTP proxy on a loopback port nobody
// uses, no transparent interception, no changes to the desktop's proxy settings.
inline AppSettings loopbackSettings()
{
    AppSettings settings;
    settings.network.transparentProxy = false;
    settings.network.systemProxy = false;
    settings.network.httpProxy = true;
    settings.network.httpProxyPort = freePort();
    return settings;
}
