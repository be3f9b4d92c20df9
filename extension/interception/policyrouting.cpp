#include "interception/policyrouting.h"

#include "interception/ruleset.h"

#include <QProcess>

namespace {

struct Family {
    const char *option;
    const char *everything;
};

constexpr Family families[] = { { "-4", "0.0.0.0/0" }, { "-6", "::/0" } };

} // namespace

PolicyRouting::PolicyRouting(QString program, QStringList prefix)
    : m_program(std::move(program))
    , m_prefix(std::move(prefix))
{
}

std::pair<int, QString> PolicyRouting::run(const QStringList &arguments) const
{
    QProcess ip;
    ip.start(m_program, m_prefix + arguments);
    if (!ip.waitForFinished(10000)) {
        ip.kill();
        ip.waitForFinished();
        return { -1, QStringLiteral("%1 did not run: %2").arg(m_program, ip.errorString()) };
    }
    return { ip.exitStatus() == QProcess::NormalExit ? ip.exitCode() : -1,
        QString::fromLocal8Bit(ip.readAllStandardError()).trimmed() };
}

QString PolicyRouting::install(bool ipv6)
{
    remove();
    const QString table = QString::number(interceptionRouteTable);
    const QString mark = QStringLiteral("0x%1").arg(interceptedPacketMark, 0, 16);
    for (const Family &family : families) {
        const QString option = QLatin1String(family.option);
        if (!ipv6 && option == u"-6")
            continue;
        const QList<QStringList> commands {
            { option, QStringLiteral("rule"), QStringLiteral("add"), QStringLiteral("fwmark"), mark,
                QStringLiteral("lookup"), table, QStringLiteral("priority"),
                QString::number(interceptionRulePriority) },
            { option, QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("local"),
                QLatin1String(family.everything), QStringLiteral("dev"), QStringLiteral("lo"), QStringLiteral("table"),
                table },
        };
        for (const QStringList &command : commands) {
            const auto [code, error] = run(command);
            if (code != 0) {
                remove();
                return QStringLiteral("ip %1 failed: %2").arg(command.join(u' '), error);
            }
        }
    }
    return {};
}

void PolicyRouting::remove()
{
    for (const Family &family : families) {
        const QString option = QLatin1String(family.option);
        // Deleted by priority until none is left: a killed helper may have left one, or more.
        for (int i = 0; i < 8; ++i) {
            if (run({ option, QStringLiteral("rule"), QStringLiteral("del"), QStringLiteral("priority"),
                        QString::number(interceptionRulePriority) })
                    .first
                != 0)
                break;
        }
        run({ option, QStringLiteral("route"), QStringLiteral("flush"), QStringLiteral("table"),
            QString::number(interceptionRouteTable) });
    }
}
