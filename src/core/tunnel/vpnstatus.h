#pragma once

#include <QMetaType>

// A tunnel connection's state, numbered as the platform numbers it; the tunnel program sends these
// numbers over its socket.
enum class VPNStatus {
    invalid = 0,
    disconnected = 1,
    connecting = 2,
    connected = 3,
    reasserting = 4,
    disconnecting = 5
};

// So a QVariant can hold it.
Q_DECLARE_METATYPE(VPNStatus)
