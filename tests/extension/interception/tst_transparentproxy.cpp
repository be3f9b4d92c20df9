#include "namespacepair.h"
#include "testregistry.h"
#include "tunnelharness.h"
#include "tunnelprocesses.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <csignal>

#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace tunneltest;
using Side = NamespacePair::Side;

// Named: the suite's files share one translation unit in unity builds.
namespace transparentproxytest {

constexpr int connected = 3, disconnecting = 5;

// Without the IPv4-mapped form the dual-stack sockets give.
QByteArray seen(const QHostAddress &peer)
{
    bool mapped = false;
    const quint32 ipv4 = peer.toIPv4Address(&mapped);
    return (mapped ? QHostAddress(ipv4) : peer).toString().toLatin1();
}

// An A question answered with the site's address, or the proxy server's for its name; "missing.test"
// does not exist, and other questions get no answer.
QByteArray dnsAnswer(const QByteArray &query)
{
    qsizetype end = 12;
    while (end < query.size() && query[end] != 0)
        end += 1 + quint8(query[end]);
    if (end + 5 > query.size())
        return {};
    const QByteArray name = query.sliced(12, end - 12);
    const bool missing = name == QByteArray("\x07missing\x04test", 13);
    const bool found = !missing && query.sliced(end + 1, 2) == QByteArray("\0\1", 2);
    // Response, recursion available, no such name or no error; one question and one answer or none.
    QByteArray reply = query.first(2) + QByteArray("\x81\x80\0\1\0\0\0\0\0\0", 10) + query.sliced(12, end + 5 - 12);
    reply[3] = char(missing ? 0x83 : 0x80);
    reply[7] = char(found);
    if (found) {
        reply += QByteArray("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4", 12) + QByteArray(4, 0);
        const bool isProxy = name == QByteArray("\x05proxy\x04test", 11);
        qToBigEndian((isProxy ? NamespacePair::serverLink : NamespacePair::site).toIPv4Address(), reply.end() - 4);
    }
    return reply;
}

// The "sites" on the server side: HTTP on port 80, a UDP echo on port 7 and a DNS server on port
// 53, each answering with the address it saw the request come from. A request that arrives
// through the proxy comes from the proxy server's side; a direct one from the client's link.
class Sites final {
public:
    bool listen()
    {
        QObject::connect(&m_http, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = m_http.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (!socket->peek(4096).contains("\r\n\r\n"))
                        return;
                    const QByteArray from = seen(socket->peerAddress());
                    socket->write(
                        "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(from.size()) + "\r\n\r\n" + from);
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        for (QUdpSocket *socket : { &m_echo, &m_dns }) {
            QObject::connect(socket, &QUdpSocket::readyRead, [this, socket] {
                while (socket->hasPendingDatagrams()) {
                    const QNetworkDatagram datagram = socket->receiveDatagram();
                    const QByteArray from = seen(datagram.senderAddress());
                    if (socket == &m_dns)
                        dnsClients.append(QHostAddress(QString::fromLatin1(from)));
                    socket->writeDatagram(datagram.makeReply(socket == &m_dns ? dnsAnswer(datagram.data()) : from));
                }
            });
        }
        return m_http.listen(QHostAddress::Any, 80) && m_echo.bind(QHostAddress::Any, 7)
            && m_dns.bind(QHostAddress::Any, 53);
    }

    QList<QHostAddress> dnsClients;

private:
    QTcpServer m_http;
    QUdpSocket m_echo;
    QUdpSocket m_dns;
};

// One HTTP/1.0 request from the client side: the body (the address the site saw), or "" when
// the connection gave nothing.
QByteArray fetch(const QHostAddress &address, const QByteArray &host = {})
{
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET / HTTP/1.0\r\n" + (host.isEmpty() ? QByteArray() : "Host: " + host + "\r\n") + "\r\n");
    QByteArray response;
    [[maybe_unused]] const bool ended = QTest::qWaitFor(
        [&] {
            response += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    response += socket.readAll();
    const qsizetype body = response.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : response.mid(body + 4);
}

// Sends one datagram from the client side and returns the first answer, or nothing within 5 s.
QByteArray exchange(const QByteArray &datagram, const QHostAddress &address, quint16 port)
{
    QUdpSocket socket;
    socket.writeDatagram(datagram, address, port);
    return QTest::qWaitFor([&] { return socket.hasPendingDatagrams(); }, 5000) ? socket.receiveDatagram().data()
                                                                               : QByteArray();
}

// The A record the client gets for `name` from a resolver it believes is at `resolver`.
QHostAddress resolve(const QHostAddress &resolver, const QByteArray &name)
{
    QByteArray query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    for (const QByteArray &label : name.split('.'))
        query += char(label.size()) + label;
    query += QByteArray("\0\0\1\0\1", 5);
    const QByteArray reply = exchange(query, resolver, 53);
    if (reply.size() < query.size() + 16 || reply[7] != 1)
        return {};
    return QHostAddress(qFromBigEndian<quint32>(reply.constData() + reply.size() - 4));
}

// The nameservers of the host's resolver configuration, which the engine's direct connections ask:
// the server side answers for them.
QStringList hostNameservers()
{
    QStringList servers;
    QFile file(u"/etc/resolv.conf"_s);
    for (const QByteArray &line : file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>()) {
        const QList<QByteArray> words = line.simplified().split(' ');
        const QHostAddress address(QString::fromLatin1(words.value(1)));
        if (words[0] == "nameserver" && address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            servers.append(address.toString());
    }
    return servers;
}

bool succeeded(const std::optional<TunnelRequestResult> &result)
{
    return result && std::holds_alternative<TunnelResults::Success>(*result);
}

// Reads the helper's output until its engine says it started; the engine's process, 0 for none.
qint64 startedEngine(QProcess &helper)
{
    QByteArray output;
    while (!output.contains(" started") && helper.waitForReadyRead(10000))
        output += helper.readAll();
    const qsizetype at = output.lastIndexOf("engine process ");
    return at < 0 ? 0 : output.mid(at + 15, output.indexOf('\n', at) - at - 15).toLongLong();
}

// A frame of the helper's input, its count holding the digits at both ends of the range.
QByteArray helperFrame(const QByteArray &servers = {})
{
    const QByteArray configuration = QByteArray(R"({"outbounds":[{"protocol":"freedom"}]})").leftJustified(90);
    return QByteArray::number(configuration.size()) + (servers.isEmpty() ? QByteArray() : ' ' + servers) + '\n'
        + configuration;
}

QString processStatus(qint64 pid)
{
    QFile file(u"/proc/%1/status"_s.arg(pid));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

} // namespace transparentproxytest

using namespace transparentproxytest;

// The transparent proxy end to end: the real tunnel program, its helper and the engine on the
// client side of two network namespaces, ss-server and the sites on the other. The host's own
// rules, routes and ruleset must come out as they went in.
class TransparentProxyTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to make network namespaces");
        if (QStandardPaths::findExecutable(u"ss-server"_s).isEmpty())
            QSKIP("needs ss-server (Debian package shadowsocks-libev)");
        m_hostBefore = NamespacePair::hostSnapshot();
        m_pair = std::make_unique<NamespacePair>(hostNameservers());
        QVERIFY2(m_pair->made(), qPrintable(m_pair->errorString()));

        QVERIFY(m_pair->enter(Side::server));
        m_sites = std::make_unique<Sites>();
        const bool listening = m_sites->listen();
        QVERIFY(m_pair->enter(Side::client));
        QVERIFY(listening);
        QVERIFY(m_pair->startShadowsocks(m_shadowsocks, m_dir.filePath(u"ss.json"_s), 8388));

        // A region that holds the other site only: it goes direct.
        QFile ipv4(m_dir.filePath(u"geoip"_s));
        QFile ipv6(m_dir.filePath(u"geoip6"_s));
        QVERIFY(ipv4.open(QIODevice::WriteOnly) && ipv6.open(QIODevice::WriteOnly));
        const QByteArray other = QByteArray::number(NamespacePair::otherSite.toIPv4Address());
        ipv4.write(other + ',' + other + ",ZZ\n");
        ipv6.write("2001:db8:ff::,2001:db8:ff::ffff,ZZ\n");
        ipv4.close();
        ipv6.close();
        qputenv("WRENLOW_GEOIP_DIR", m_dir.path().toUtf8());
    }

    void cleanupTestCase()
    {
        qunsetenv("WRENLOW_GEOIP_DIR");
        if (!m_pair)
            return;
        m_shadowsocks.kill();
        m_shadowsocks.waitForFinished();
        m_sites.reset();
        m_pair.reset();
        QCOMPARE(NamespacePair::hostSnapshot(), m_hostBefore);
    }

    // TCP, UDP and DNS of any program go through the server, both address families; the block and
    // direct lists apply to connections that arrive as bare addresses, and so do GeoIP ranges.
    void trafficGoesThroughTheServer()
    {
        TunnelProcess tunnel;
        TunnelClient app;
        QVERIFY(tunnel.launch() && app.connectTo(tunnel.socketPath()));
        QCOMPARE(app.start(providerPayload(backend())), transparentproxytest::connected);

        const QByteArray direct = NamespacePair::clientLink.toString().toLatin1();
        const QByteArray proxied = NamespacePair::site.toString().toLatin1();
        QCOMPARE(fetch(NamespacePair::site), proxied);
        QCOMPARE(fetch(NamespacePair::site6), NamespacePair::site6.toString().toLatin1());
        QCOMPARE(exchange("hello", NamespacePair::site, 7), proxied);
        QCOMPARE(fetch(NamespacePair::site, "direct.test"), direct);
        QCOMPARE(fetch(NamespacePair::site, "blocked.test"), QByteArray());
        QCOMPARE(fetch(NamespacePair::otherSite), direct);

        // A query to any resolver is answered by the engine, which asks the configured server
        // through the proxy.
        m_sites->dnsClients.clear();
        QCOMPARE(resolve(QHostAddress(u"198.51.100.53"_s), "www.example.test"), NamespacePair::site);
        QVERIFY(!m_sites->dnsClients.isEmpty());
        QVERIFY(!m_sites->dnsClients.contains(NamespacePair::clientLink));

        // No loop: the engine holds a handful of sockets, not thousands.
        const auto [enginesBefore, helperBefore] = engineAndHelper(tunnel.process().processId());
        QCOMPARE(enginesBefore.size(), 1);
        QVERIFY(QDir(u"/proc/%1/fd"_s.arg(enginesBefore.first())).entryList(QDir::System | QDir::NoDotAndDotDot).size()
            < 100);

        // Switching servers replaces only the engine: the helper, and the user's permission, stay.
        BackendConfiguration byAddress = backend();
        byAddress.serverSettings = backendFor(NamespacePair::serverLink.toString(), 8388).serverSettings;
        QVERIFY(succeeded(app.ask(TunnelRequests::Change { byAddress })));
        const auto [enginesAfter, helperAfter] = engineAndHelper(tunnel.process().processId());
        QCOMPARE(helperAfter, helperBefore);
        QVERIFY(enginesAfter.size() == 1 && !enginesBefore.contains(enginesAfter.first()));
        QCOMPARE(fetch(NamespacePair::site), proxied);

        // A server whose name does not resolve is refused before the running engine is touched.
        if (!hostNameservers().isEmpty()) {
            BackendConfiguration missing = backend();
            missing.serverSettings = backendFor(u"missing.test"_s, 8388).serverSettings;
            const auto refused = app.ask(TunnelRequests::Change { missing });
            const auto *failure = refused ? std::get_if<TunnelResults::Failure>(&*refused) : nullptr;
            QVERIFY(failure && failure->reason.contains(u"the server's address missing.test could not be looked up"_s));
            QCOMPARE(fetch(NamespacePair::site), proxied);
        }

        // Switched off while running, and on again.
        NetworkSettings off = backend().appSettings.network;
        off.transparentProxy = false;
        off.httpProxy = true;
        off.httpProxyPort = 18080;
        QVERIFY(succeeded(app.ask(TunnelRequests::ChangeNetworkSettings { off })));
        QCOMPARE(fetch(NamespacePair::site), direct);
        QCOMPARE(m_pair->interceptionLeftovers(), QString());
        QVERIFY(succeeded(app.ask(TunnelRequests::ChangeNetworkSettings { backend().appSettings.network })));
        QCOMPARE(fetch(NamespacePair::site), proxied);

        QCOMPARE(TunnelClient::statusOf(app.waitFor(app.send(ipc::Kind::stop))), transparentproxytest::disconnecting);
        QCOMPARE(tunnel.exitCode(), 0);
        QCOMPARE(fetch(NamespacePair::site), direct);
        QCOMPARE(m_pair->interceptionLeftovers(), QString());
    }

    // However the tunnel's processes end, the client's traffic is direct again, nothing of the
    // interception is left, and the user is told what ended it.
    void crashesLeaveNothing_data()
    {
        QTest::addColumn<QString>("victim");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QByteArray>("told");
        QTest::newRow("engine killed") << u"engine"_s << SIGKILL << "the engine was killed"_ba;
        QTest::newRow("helper killed") << u"helper"_s << SIGKILL << "its helper was killed"_ba;
        QTest::newRow("helper told to stop") << u"helper"_s << SIGTERM << QByteArray();
        QTest::newRow("tunnel killed") << u"tunnel"_s << SIGKILL << QByteArray();
    }

    void crashesLeaveNothing()
    {
        QFETCH(QString, victim);
        QFETCH(int, signal);
        QFETCH(QByteArray, told);
        TunnelProcess tunnel;
        TunnelClient app;
        QVERIFY(tunnel.launch() && app.connectTo(tunnel.socketPath()));
        QCOMPARE(app.start(providerPayload(backend())), transparentproxytest::connected);
        QCOMPARE(fetch(NamespacePair::site), NamespacePair::site.toString().toLatin1());

        const qint64 tunnelPid = tunnel.process().processId();
        const auto [engine, helper] = engineAndHelper(tunnelPid);
        QCOMPARE(engine.size(), 1);
        ::kill(pid_t(victim == u"engine" ? engine.first() : victim == u"helper" ? helper : tunnelPid), signal);
        QTRY_VERIFY(!processRuns(engine.first()));
        QTRY_COMPARE(m_pair->interceptionLeftovers(), QString());
        QCOMPARE(fetch(NamespacePair::site), NamespacePair::clientLink.toString().toLatin1());
        if (!told.isEmpty())
            QVERIFY(app.waitFor(0, ipc::Kind::error).value_or(ipc::Frame {}).payload.contains(told));
    }

    // The helper on its own, as the calling user (pkexec's PKEXEC_UID): it replaces a rule a killed
    // helper left, skips the server's addresses and replaces them and the engine with each new
    // configuration, runs the engine with two capabilities and no way to gain more, and removes
    // everything when its input closes. Without IPv6 on the loopback interface it intercepts IPv4
    // alone and refuses IPv6 rather than let it out past the proxy.
    void helperRunsTheEngineWithTwoCapabilities_data()
    {
        QTest::addColumn<bool>("ipv6");
        QTest::newRow("IPv6") << true;
        QTest::newRow("no IPv6") << false;
    }

    void helperRunsTheEngineWithTwoCapabilities()
    {
        QFETCH(bool, ipv6);
        const auto setIPv6 = [](bool on) {
            return QProcess::execute(u"sysctl"_s, { u"-qw"_s, u"net.ipv6.conf.lo.disable_ipv6=%1"_s.arg(!on) });
        };
        QCOMPARE(setIPv6(ipv6), 0);
        const auto restore = qScopeGuard([&] { setIPv6(true); });
        for (const QString &family : { u"-4"_s, u"-6"_s })
            QCOMPARE(QProcess::execute(u"ip"_s,
                         { family, u"rule"_s, u"add"_s, u"fwmark"_s, u"0x77"_s, u"lookup"_s, u"233"_s, u"priority"_s,
                             u"9233"_s }),
                0);
        QProcess helper;
        const qint64 engine = startHelper(helper, helperFrame("203.0.113.7 2001:db8::7 203.0.113.7 10.1.2.3"), "65534");
        QVERIFY(engine > 0);
        const QString installed = m_pair->interceptionLeftovers();
        QCOMPARE(installed.count(u"fwmark 0x77 lookup 233"_s), ipv6 ? 2 : 1);
        QCOMPARE(installed.count(u"local default dev lo"_s), ipv6 ? 2 : 1);
        QCOMPARE(table().contains("meta l4proto { tcp, udp } reject with icmpv6"), !ipv6);
        QVERIFY(table().contains("203.0.113.7") && table().contains("2001:db8::7"));

        helper.write(helperFrame("198.51.100.9"));
        const qint64 replaced = startedEngine(helper);
        QVERIFY(replaced > 0 && replaced != engine);
        QTRY_COMPARE(processStatus(engine), QString());
        QVERIFY(
            table().contains("198.51.100.9") && !table().contains("203.0.113.7") && !table().contains("2001:db8::7"));
        QCOMPARE(m_pair->interceptionLeftovers(), installed);
        const QString status = processStatus(replaced);
        for (const QString &line : { u"Uid:\t65534\t65534\t65534\t65534"_s, u"CapEff:\t0000000000002400"_s,
                 u"CapBnd:\t0000000000002400"_s, u"CapAmb:\t0000000000002400"_s, u"NoNewPrivs:\t1"_s })
            QVERIFY2(status.contains(line), qPrintable(line));
        helper.closeWriteChannel();
        QVERIFY(helper.waitForFinished(10000));
        QCOMPARE(helper.exitCode(), 0);
        QCOMPARE(m_pair->interceptionLeftovers(), QString());
        QCOMPARE(processStatus(replaced), QString());
    }

private:
    // The server by name where the host's resolver is one the server side can stand in for: the
    // tunnel looks it up before the interception, and the engine dials the address.
    BackendConfiguration backend() const
    {
        const QString server = hostNameservers().isEmpty() ? NamespacePair::serverLink.toString() : u"proxy.test"_s;
        BackendConfiguration backend = backendFor(server, 8388);
        AppSettings &settings = backend.appSettings;
        settings.network.transparentProxy = true;
        settings.network.httpProxy = false;
        settings.dns.prioritizeLocalDNS = false;
        settings.dns.address = { NamespacePair::site.toString() };
        settings.routing.directDomains = { DomainItem { u"direct.test"_s } };
        settings.routing.blockDomains = { DomainItem { u"blocked.test"_s } };
        settings.geoIP = GeoIPSettings { true, { GeoIPRegion { u"Test"_s, u".zz"_s } } };
        return backend;
    }

    // The engine (a list: empty when none runs) and the helper the tunnel started.
    static std::pair<QList<qint64>, qint64> engineAndHelper(qint64 tunnel)
    {
        const QList<qint64> helpers = childProcesses(tunnel);
        if (helpers.size() != 1)
            return {};
        QList<qint64> engines;
        for (const qint64 child : childProcesses(helpers.first())) {
            QFile commandLine(u"/proc/%1/cmdline"_s.arg(child));
            if (commandLine.open(QIODevice::ReadOnly) && commandLine.readAll().contains("v2ray"))
                engines.append(child);
        }
        return { engines, helpers.first() };
    }

    // Starts the helper on the client side, for `user` if given; the engine's process once it runs.
    static qint64 startHelper(QProcess &helper, const QByteArray &input, const QByteArray &user = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!user.isEmpty())
            environment.insert(u"PKEXEC_UID"_s, QString::fromLatin1(user));
        helper.setProcessEnvironment(environment);
        helper.setProcessChannelMode(QProcess::MergedChannels);
        helper.start(QStringLiteral(WRENLOW_INTERCEPT_PATH), { u"--port"_s, u"12345"_s });
        helper.write(input);
        return startedEngine(helper);
    }

    // Our nftables table on the client side.
    QByteArray table() const
    {
        return m_pair->run(Side::client, { u"nft"_s, u"list"_s, u"table"_s, u"inet"_s, u"wrenlow"_s });
    }

    QString m_hostBefore;
    QTemporaryDir m_dir;
    std::unique_ptr<NamespacePair> m_pair;
    std::unique_ptr<Sites> m_sites;
    QProcess m_shadowsocks;
};

WRENLOW_TEST(TransparentProxyTest)
#include "tst_transparentproxy.moc"
