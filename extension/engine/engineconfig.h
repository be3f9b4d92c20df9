#pragma once

#include "core/foundation/jsoncoding.h"
#include "core/tunnel/tunnelmessages.h"

#include <QHash>
#include <QStringList>

// The proxy engine the tunnel runs as its child. Both read the same configuration format; only
// xray speaks REALITY and the VLESS flows.
enum class EngineKind { v2ray, xray };

// The mark every socket of the engine carries while connections are intercepted: the interception
// skips exactly this mark (a masked match also caught it and cut the engine off), so the engine's
// own traffic is never caught again.
inline constexpr int engineSocketMark = 0xff;

struct EngineOptions {
    EngineKind kind = EngineKind::v2ray;
    // The engine's statistics API on 127.0.0.1; 0 leaves it out.
    quint16 apiPort = 0;
    // The tunnel's own HTTP inbound on 127.0.0.1, for its status checks and downloads; always
    // through the server, whatever the routing says. 0 leaves it out.
    quint16 tunnelPort = 0;
    // Where the interception hands intercepted connections (TPROXY), on 127.0.0.1 and ::1; 0 when
    // no interception is in place, and a start that asks for the transparent proxy is refused.
    quint16 transparentPort = 0;
    // Whether the loopback interface has IPv6, so that an inbound can listen on ::1.
    bool transparentIPv6 = true;
    // The server's address, looked up beforehand, dialled in place of its host name (which stays
    // the TLS server name). Empty: the engine looks the name up itself. With interception in place
    // its own lookup would go to the system's resolver, whose queries may be intercepted and need
    // the very server being looked up.
    QString serverDialAddress;
    // IP ranges (CIDR) of the GeoIP regions, keyed by the region's top-level domain (".cn").
    QHash<QString, QStringList> regionRanges;
};

struct EngineConfig {
    Json document;
    // Settings the engine cannot honour whose loss only changes appearance, for the log.
    QStringList warnings;
};

// The engine's whole configuration for a backend configuration. Throws TunnelProviderError
// (startBackend, with the reason) for anything it cannot honour without weakening encryption or
// authentication: the engine is never started with a silently degraded server.
EngineConfig makeEngineConfig(const BackendConfiguration &backend, const EngineOptions &options);
