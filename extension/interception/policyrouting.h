#pragma once

#include <QString>
#include <QStringList>

#include <utility>

// Sends packets that carry the intercepted-packet mark to a local route through the loopback
// interface, so that they come back in through the prerouting hook, where the table hands them to
// the engine. One rule per address family at a fixed priority and one route table of our own: a
// helper that was killed leaves nothing the next install does not remove first.
inline constexpr int interceptionRouteTable = 233;
inline constexpr int interceptionRulePriority = 9233;

class PolicyRouting {
public:
    // Runs `ip` with `prefix` before each command ({"-n", "<namespace>"} in tests). Fixed
    // arguments only: nothing a caller says reaches the command line.
    explicit PolicyRouting(QString program = QStringLiteral("ip"), QStringList prefix = {});

    // Removes what an earlier install left, then adds the rules and routes of both families, or of
    // IPv4 alone without `ipv6`. Empty on success, else what failed (and nothing is left installed).
    QString install(bool ipv6 = true);
    // Removes our rules and routes; what is already gone is not an error.
    void remove();

private:
    // The exit code and the error output of one `ip` command.
    std::pair<int, QString> run(const QStringList &arguments) const;

    QString m_program;
    QStringList m_prefix;
};
