#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// The nftables side of the transparent proxy: our own table, "inet wrenlow", that marks the user's
// outbound TCP and UDP in the output hook and hands the marked packets, which policy routing brings
// back in through the loopback interface, to the engine's TPROXY inbounds in the prerouting hook.
// Every match on a mark is exact: a masked match also caught the engine's own mark.

// Packets chosen for interception; policy routing sends this mark to a local route via lo.
inline constexpr int interceptedPacketMark = 0x77;

struct InterceptionRules {
    // The engine's TPROXY port, on 127.0.0.1 and ::1.
    quint16 port = 0;
    // The proxy server's own addresses: its traffic must never be caught, even unmarked.
    QList<QHostAddress> serverAddresses;
};

// The table as one nftables script. The table has the owner flag: the kernel removes it when the
// process that made it goes, so no rule outlives the helper, whatever ends it.
QString interceptionRuleset(const InterceptionRules &rules);
