#pragma once

// The tunnel's state, numbered as its clients expect (the platform's VPN status values).
enum class TunnelStatus {
    invalid = 0,
    disconnected = 1,
    connecting = 2,
    connected = 3,
    reasserting = 4,
    disconnecting = 5
};
