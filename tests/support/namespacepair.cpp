#include "namespacepair.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray output(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(20000);
    return process.readAllStandardOutput();
}

} // namespace

NamespacePair::NamespacePair(const QStringList &extraServerAddresses)
    : m_server(u"wlsrv%1"_s.arg(QCoreApplication::applicationPid()))
    , m_client(u"wlcli%1"_s.arg(QCoreApplication::applicationPid()))
    , m_host(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC))
{
    const QString serverEnd = u"wls%1"_s.arg(QCoreApplication::applicationPid());
    const QString clientEnd = u"wlc%1"_s.arg(QCoreApplication::applicationPid());
    QList<QStringList> commands {
        { u"netns"_s, u"add"_s, m_server },
        { u"netns"_s, u"add"_s, m_client },
        { u"link"_s, u"add"_s, serverEnd, u"netns"_s, m_server, u"type"_s, u"veth"_s, u"peer"_s, u"name"_s, clientEnd,
            u"netns"_s, m_client },
        { u"-n"_s, m_server, u"link"_s, u"set"_s, u"lo"_s, u"up"_s },
        { u"-n"_s, m_client, u"link"_s, u"set"_s, u"lo"_s, u"up"_s },
        { u"-n"_s, m_server, u"address"_s, u"add"_s, u"10.231.0.1/24"_s, u"dev"_s, serverEnd },
        { u"-n"_s, m_client, u"address"_s, u"add"_s, u"10.231.0.2/24"_s, u"dev"_s, clientEnd },
        { u"-n"_s, m_server, u"address"_s, u"add"_s, u"fd00:231::1/64"_s, u"dev"_s, serverEnd, u"nodad"_s },
        { u"-n"_s, m_client, u"address"_s, u"add"_s, u"fd00:231::2/64"_s, u"dev"_s, clientEnd, u"nodad"_s },
        { u"-n"_s, m_server, u"link"_s, u"set"_s, serverEnd, u"up"_s },
        { u"-n"_s, m_client, u"link"_s, u"set"_s, clientEnd, u"up"_s },
        { u"-n"_s, m_server, u"address"_s, u"add"_s, site.toString() + u"/32"_s, u"dev"_s, u"lo"_s },
        { u"-n"_s, m_server, u"address"_s, u"add"_s, otherSite.toString() + u"/32"_s, u"dev"_s, u"lo"_s },
        { u"-n"_s, m_server, u"address"_s, u"add"_s, site6.toString() + u"/128"_s, u"dev"_s, u"lo"_s },
        { u"-n"_s, m_client, u"route"_s, u"add"_s, u"default"_s, u"via"_s, u"10.231.0.1"_s },
        { u"-n"_s, m_client, u"-6"_s, u"route"_s, u"add"_s, u"default"_s, u"via"_s, u"fd00:231::1"_s },
    };
    for (const QString &address : extraServerAddresses)
        commands.append({ u"-n"_s, m_server, u"address"_s, u"add"_s, address + u"/32"_s, u"dev"_s, u"lo"_s });
    for (const QStringList &command : std::as_const(commands)) {
        if (!ip(command))
            return;
    }
}

NamespacePair::~NamespacePair()
{
    enter(Side::host);
    if (m_host >= 0)
        ::close(m_host);
    // Deleting a namespace takes its end of the veth pair, and with it the other end.
    QProcess::execute(u"ip"_s, { u"netns"_s, u"del"_s, m_client });
    QProcess::execute(u"ip"_s, { u"netns"_s, u"del"_s, m_server });
}

bool NamespacePair::ip(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(u"ip"_s, arguments);
    if (process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    m_error = u"ip %1: %2"_s.arg(arguments.join(u' '), QString::fromLocal8Bit(process.readAll()).trimmed());
    return false;
}

bool NamespacePair::enter(Side side)
{
    int target = m_host;
    int opened = -1;
    if (side != Side::host) {
        opened = ::open((u"/run/netns/"_s + name(side)).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        target = opened;
    }
    const bool entered = target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (opened >= 0)
        ::close(opened);
    return entered;
}

bool NamespacePair::startShadowsocks(QProcess &process, const QString &configurationFile, quint16 port)
{
    QFile config(configurationFile);
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write(R"({"server":"10.231.0.1","server_port":)" + QByteArray::number(port)
        + R"(,"password":"secret","method":"chacha20-ietf-poly1305","mode":"tcp_and_udp"})");
    config.close();
    if (!enter(Side::server))
        return false;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(u"ss-server"_s, { u"-c"_s, configurationFile });
    if (!enter(Side::client) || !process.waitForStarted())
        return false;
    return QTest::qWaitFor(
        [port] {
            QTcpSocket probe;
            probe.connectToHost(serverLink, port);
            return probe.waitForConnected(200);
        },
        10000);
}

QByteArray NamespacePair::run(Side side, const QStringList &command) const
{
    return output(u"ip"_s, QStringList { u"netns"_s, u"exec"_s, name(side) } + command);
}

QString NamespacePair::interceptionLeftovers() const
{
    QString left;
    if (const QByteArray tables = run(Side::client, { u"nft"_s, u"list"_s, u"tables"_s }); !tables.trimmed().isEmpty())
        left += QString::fromUtf8(tables);
    for (const QString &family : { u"-4"_s, u"-6"_s }) {
        const QString rules = QString::fromUtf8(output(u"ip"_s, { u"-n"_s, m_client, family, u"rule"_s, u"show"_s }));
        if (rules.contains(u"fwmark"_s))
            left += rules;
        left += QString::fromUtf8(
            output(u"ip"_s, { u"-n"_s, m_client, family, u"route"_s, u"show"_s, u"table"_s, u"233"_s }));
    }
    return left;
}

QString NamespacePair::hostSnapshot()
{
    QString snapshot;
    for (const QStringList &command :
        QList<QStringList> { { u"ip"_s, u"-4"_s, u"rule"_s, u"show"_s }, { u"ip"_s, u"-6"_s, u"rule"_s, u"show"_s },
            { u"ip"_s, u"-4"_s, u"route"_s, u"show"_s, u"table"_s, u"all"_s },
            { u"ip"_s, u"-6"_s, u"route"_s, u"show"_s, u"table"_s, u"all"_s }, { u"nft"_s, u"list"_s, u"ruleset"_s } })
        snapshot += QString::fromUtf8(output(command.first(), command.mid(1)));
    return snapshot;
}
