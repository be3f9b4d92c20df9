#pragma once

#include "engine/engineprocess.h"

#include <QHostAddress>
#include <QList>

// How the tunnel starts the engine for the transparent proxy: through the interception helper
// beside the tunnel program, asked for with pkexec unless the tunnel already runs as root.
// WRENLOW_INTERCEPT_HELPER and WRENLOW_INTERCEPT_LAUNCHER replace the two programs (tests).
EngineLaunch interceptionLaunch(quint16 port, const QList<QHostAddress> &serverAddresses);
