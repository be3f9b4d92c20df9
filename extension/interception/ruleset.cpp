#include "interception/ruleset.h"

#include "engine/engineconfig.h"

#include <QFile>
#include <QStringList>

namespace {

// Destinations that are never sent through the server: this host, link-local, multicast and
// broadcast, and the private and shared ranges of local networks.
const QStringList skippedIPv4 { QStringLiteral("0.0.0.0/8"), QStringLiteral("10.0.0.0/8"),
    QStringLiteral("100.64.0.0/10"), QStringLiteral("127.0.0.0/8"), QStringLiteral("169.254.0.0/16"),
    QStringLiteral("172.16.0.0/12"), QStringLiteral("192.168.0.0/16"), QStringLiteral("224.0.0.0/4"),
    QStringLiteral("240.0.0.0/4") };
const QStringList skippedIPv6 { QStringLiteral("::1/128"), QStringLiteral("fc00::/7"), QStringLiteral("fe80::/10"),
    QStringLiteral("ff00::/8") };

QString set(const QString &name, const char *type, const QStringList &elements)
{
    return QStringLiteral(
        "    set %1 {\n        type %2; flags interval; auto-merge\n        elements = { %3 }\n    }\n")
        .arg(name, QLatin1String(type), elements.join(QStringLiteral(", ")));
}

} // namespace

bool loopbackHasIPv6()
{
    QFile disabled(QStringLiteral("/proc/sys/net/ipv6/conf/lo/disable_ipv6"));
    return disabled.open(QIODevice::ReadOnly) && disabled.readAll().trimmed() == "0";
}

QString interceptionRuleset(quint16 port, bool ipv6)
{
    const QString engine = QStringLiteral("0x%1").arg(engineSocketMark, 0, 16);
    const QString intercepted = QStringLiteral("0x%1").arg(interceptedPacketMark, 0, 16);

    QString script = QStringLiteral("table inet wrenlow {\n    flags owner\n");
    script += set(QStringLiteral("skip4"), "ipv4_addr", skippedIPv4);
    script += set(QStringLiteral("skip6"), "ipv6_addr", skippedIPv6);
    script += QStringLiteral("    set server4 {\n        type ipv4_addr\n    }\n"
                             "    set server6 {\n        type ipv6_addr\n    }\n");
    script += QStringLiteral("    chain output {\n"
                             "        type route hook output priority mangle; policy accept;\n"
                             // The engine's own sockets, exactly its mark.
                             "        meta mark %1 return\n"
                             "        fib daddr type { local, broadcast, multicast } return\n"
                             "        ip daddr @skip4 return\n"
                             "        ip6 daddr @skip6 return\n"
                             "        ip daddr @server4 return\n"
                             "        ip6 daddr @server6 return\n"
                             "%4"
                             "        meta l4proto { tcp, udp } meta mark set %2\n"
                             "    }\n"
                             "    chain prerouting {\n"
                             "        type filter hook prerouting priority mangle; policy accept;\n"
                             "        meta mark != %2 return\n"
                             "        meta l4proto { tcp, udp } meta nfproto ipv4 tproxy ip to 127.0.0.1:%3 accept\n"
                             "%5"
                             // No engine socket took it: refuse at once rather than leave the program waiting.
                             "        meta l4proto tcp reject with tcp reset\n"
                             "        meta l4proto udp reject\n"
                             "    }\n"
                             "}\n")
                  .arg(engine, intercepted, QString::number(port),
                      ipv6 ? QString() : QStringLiteral("        meta nfproto ipv6 meta l4proto { tcp, udp } reject\n"),
                      ipv6 ? QStringLiteral(
                          "        meta l4proto { tcp, udp } meta nfproto ipv6 tproxy ip6 to [::1]:%1 accept\n")
                                 .arg(port)
                           : QString());
    return script;
}

QString serverAddressesUpdate(const QList<QHostAddress> &serverAddresses)
{
    QStringList v4;
    QStringList v6;
    for (const QHostAddress &address : serverAddresses) {
        const QString text = address.toString();
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !v4.contains(text))
            v4.append(text);
        else if (address.protocol() == QAbstractSocket::IPv6Protocol && address.scopeId().isEmpty()
            && !v6.contains(text))
            v6.append(text);
    }
    QString commands = QStringLiteral("flush set inet wrenlow server4\nflush set inet wrenlow server6\n");
    if (!v4.isEmpty())
        commands += QStringLiteral("add element inet wrenlow server4 { %1 }\n").arg(v4.join(QStringLiteral(", ")));
    if (!v6.isEmpty())
        commands += QStringLiteral("add element inet wrenlow server6 { %1 }\n").arg(v6.join(QStringLiteral(", ")));
    return commands;
}
