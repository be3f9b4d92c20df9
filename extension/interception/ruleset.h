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

// The table as one nftables script, for the engine's TPROXY port on 127.0.0.1 and ::1. The table
// has the owner flag: the kernel removes it when the process that made it goes, so no rule
// outlives the helper, whatever ends it. Its sets of the server's addresses start empty.
// Without `ipv6` (see loopbackHasIPv6()) IPv6 cannot be handed to the engine, and is refused rather
// than let out past the proxy.
QString interceptionRuleset(quint16 port, bool ipv6 = true);

// Whether the loopback interface of this network namespace has IPv6: without it the engine cannot
// listen on ::1 and the local route for IPv6 cannot be added.
bool loopbackHasIPv6();

// The commands that make the server sets hold exactly these addresses: the proxy server's own
// traffic must never be caught, even unmarked. Addresses are formatted here, never taken as text.
QString serverAddressesUpdate(const QList<QHostAddress> &serverAddresses);
