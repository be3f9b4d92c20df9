#include "namespacepair.h"
#include "testregistry.h"
#include "tunnelharness.h"
#include "tunnelprocesses.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace tunneltest;
using Side = NamespacePair::Side;

// Named: the suite's files share one translation unit in unity builds.
namespace transparentproxytest {

constexpr int connected = 3, disconnecting = 5;

// The "sites" on the server side: HTTP on port 80, a UDP echo on port 7 and a DNS server on port
// 53, each answering with the address it saw the request come from. A request that arrives
// through the proxy comes from the proxy server's side; a direct one from the client's link.
class Sites final {
public:
    // Without the IPv4-mapped form the dual-stack sockets give.
    static QByteArray seen(const QHostAddress &peer)
    {
        bool mapped = false;
        const quint32 ipv4 = peer.toIPv4Address(&mapped);
        return (mapped ? QHostAddress(ipv4) : peer).toString().toLatin1();
    }

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
        QObject::connect(&m_echo, &QUdpSocket::readyRead, [this] {
            while (m_echo.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = m_echo.receiveDatagram();
                m_echo.writeDatagram(datagram.makeReply(seen(datagram.senderAddress())));
            }
        });
        QObject::connect(&m_dns, &QUdpSocket::readyRead, [this] {
            while (m_dns.hasPendingDatagrams()) {
                const QNetworkDatagram query = m_dns.receiveDatagram();
                dnsClients.append(QHostAddress(QString::fromLatin1(seen(query.senderAddress()))));
                m_dns.writeDatagram(query.makeReply(answer(query.data())));
            }
        });
        return m_http.listen(QHostAddress::Any, 80) && m_echo.bind(QHostAddress::Any, 7)
            && m_dns.bind(QHostAddress::Any, 53);
    }

    // An A question is answered with the site's address, or the proxy server's for its name;
    // anything else with no answer.
    static QByteArray answer(const QByteArray &query)
    {
        if (query.size() < 12)
            return {};
        qsizetype end = 12;
        while (end < query.size() && query[end] != 0)
            end += 1 + quint8(query[end]);
        const qsizetype questionEnd = end + 5;
        if (questionEnd > query.size())
            return {};
        const bool isA = query[end + 1] == 0 && query[end + 2] == 1;
        const QByteArray name = query.sliced(12, end - 12);
        const bool isProxy = name == QByteArray("\x05proxy\x04test", 11);
        // "missing.test" does not exist.
        const bool isMissing = name == QByteArray("\x07missing\x04test", 13);
        QByteArray reply = query.first(questionEnd);
        reply[2] = char(0x81); // response, recursion desired
        reply[3] = char(isMissing ? 0x83 : 0x80); // recursion available; no such name, or no error
        reply[6] = 0;
        reply[7] = isA && !isMissing ? 1 : 0;
        reply[8] = reply[9] = reply[10] = reply[11] = 0;
        if (isA && !isMissing) {
            const quint32 address = (isProxy ? NamespacePair::serverLink : NamespacePair::site).toIPv4Address();
            reply += QByteArray("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12);
            for (const int shift : { 24, 16, 8, 0 })
                reply += char((address >> shift) & 0xff);
        }
        return reply;
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
    [[maybe_unused]] const bool arrived = QTest::qWaitFor(
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
    QByteArray answer;
    [[maybe_unused]] const bool arrived = QTest::qWaitFor(
        [&] {
            if (socket.hasPendingDatagrams())
                answer = socket.receiveDatagram().data();
            return !answer.isEmpty();
        },
        5000);
    return answer;
}

// One datagram to the echo, and what came back: the address it saw.
QByteArray echo(const QHostAddress &address)
{
    return exchange("hello", address, 7);
}

// The A record the client gets for `name` from a resolver it believes is at `resolver`.
QHostAddress resolve(const QHostAddress &resolver, const QByteArray &name)
{
    QByteArray query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    for (const QByteArray &label : name.split('.'))
        query += QByteArray(1, char(label.size())) + label;
    query += QByteArray("\x00\x00\x01\x00\x01", 5);
    const QByteArray reply = exchange(query, resolver, 53);
    if (reply.size() < query.size() + 16 || reply[7] != 1)
        return {};
    const QByteArray rdata = reply.right(4);
    return QHostAddress((quint32(quint8(rdata[0])) << 24) | (quint32(quint8(rdata[1])) << 16)
        | (quint32(quint8(rdata[2])) << 8) | quint8(rdata[3]));
}

// The nameservers of the host's resolver configuration, which the engine's direct connections ask:
// the server side answers for them.
QStringList hostNameservers()
{
    QStringList servers;
    QFile file(u"/etc/resolv.conf"_s);
    if (!file.open(QIODevice::ReadOnly))
        return servers;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 2 && words[0] == "nameserver"
            && QHostAddress(QString::fromLatin1(words[1])).protocol() == QAbstractSocket::IPv4Protocol
            && !QHostAddress(QString::fromLatin1(words[1])).isLoopback())
            servers.append(QString::fromLatin1(words[1]));
    }
    return servers;
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
        const quint32 other = NamespacePair::otherSite.toIPv4Address();
        ipv4.write(QByteArray::number(other) + ',' + QByteArray::number(other) + ",ZZ\n");
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
        QCOMPARE(echo(NamespacePair::site), proxied);
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
        const QList<qint64> engine = engineAndHelper(tunnel.process().processId()).first;
        QVERIFY(!engine.isEmpty());
        QVERIFY(QDir(u"/proc/%1/fd"_s.arg(engine.first())).entryList(QDir::System | QDir::NoDotAndDotDot).size() < 100);

        // Switching servers replaces only the engine: the helper, and the user's permission, stay.
        const auto [enginesBefore, helperBefore] = engineAndHelper(tunnel.process().processId());
        BackendConfiguration byAddress = backend();
        byAddress.serverSettings = backendFor(NamespacePair::serverLink.toString(), 8388).serverSettings;
        const auto switched = app.ask(TunnelRequests::Change { byAddress });
        QVERIFY(switched && std::holds_alternative<TunnelResults::Success>(*switched));
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
        auto answer = app.ask(TunnelRequests::ChangeNetworkSettings { off });
        QVERIFY(answer && std::holds_alternative<TunnelResults::Success>(*answer));
        QCOMPARE(fetch(NamespacePair::site), direct);
        QCOMPARE(m_pair->interceptionLeftovers(), QString());
        answer = app.ask(TunnelRequests::ChangeNetworkSettings { backend().appSettings.network });
        QVERIFY(answer && std::holds_alternative<TunnelResults::Success>(*answer));
        QCOMPARE(fetch(NamespacePair::site), proxied);

        QCOMPARE(TunnelClient::statusOf(app.waitFor(app.send(ipc::Kind::stop))), transparentproxytest::disconnecting);
        QCOMPARE(tunnel.exitCode(), 0);
        QCOMPARE(fetch(NamespacePair::site), direct);
        QCOMPARE(m_pair->interceptionLeftovers(), QString());
    }

    // However the tunnel's processes end, the client's traffic is direct again and nothing of the
    // interception is left.
    void crashesLeaveNothing_data()
    {
        QTest::addColumn<QString>("killed");
        for (const char *killed : { "engine", "helper", "tunnel" })
            QTest::newRow(killed) << QString::fromLatin1(killed);
    }

    void crashesLeaveNothing()
    {
        QFETCH(QString, killed);
        TunnelProcess tunnel;
        TunnelClient app;
        QVERIFY(tunnel.launch() && app.connectTo(tunnel.socketPath()));
        QCOMPARE(app.start(providerPayload(backend())), transparentproxytest::connected);
        QCOMPARE(fetch(NamespacePair::site), NamespacePair::site.toString().toLatin1());

        const qint64 tunnelPid = tunnel.process().processId();
        const auto [engine, helper] = engineAndHelper(tunnelPid);
        QCOMPARE(engine.size(), 1);
        const qint64 victim = killed == u"engine" ? engine.first() : killed == u"helper" ? helper : tunnelPid;
        ::kill(pid_t(victim), SIGKILL);
        QTRY_VERIFY(!processRuns(engine.first()));
        QTRY_COMPARE(m_pair->interceptionLeftovers(), QString());
        QCOMPARE(fetch(NamespacePair::site), NamespacePair::clientLink.toString().toLatin1());
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

    QString m_hostBefore;
    QTemporaryDir m_dir;
    std::unique_ptr<NamespacePair> m_pair;
    std::unique_ptr<Sites> m_sites;
    QProcess m_shadowsocks;
};

WRENLOW_TEST(TransparentProxyTest)
#include "tst_transparentproxy.moc"
