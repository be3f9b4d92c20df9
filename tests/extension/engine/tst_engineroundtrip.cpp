// The engine's configuration put to work: real traffic from an HTTP client through the engine and
// a real proxy server to a local site, for every protocol the v2ray engine speaks.
#include "engine/engineconfig.h"
#include "engine/engineprocess.h"
#include "httpserver.h"
#include "testpeers.h"
#include "testregistry.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

enum class Protocol { shadowsocks, vmess, vless };
// What the client gets wrong about the server, if anything.
enum class Mistake { none, secret, serverName };

struct Setup {
    Protocol protocol = Protocol::shadowsocks;
    peers::Transport transport = peers::Transport::tcp;
    ShadowsocksCipher cipher = ShadowsocksCipher::chacha20Poly1305;
    Mistake mistake = Mistake::none;
};

const QString loopback = QStringLiteral("127.0.0.1");
const QString password = QStringLiteral("peer-password");
const QString userId = QStringLiteral("5783a3e7-e373-51cd-8642-c83782b807c5");
const QString otherUserId = QStringLiteral("a3482e88-686a-4a58-8126-99c9df64b7bf");

// Long enough for a loaded machine; a fetch that must fail waits less, as nothing would ever come.
constexpr int reachTimeoutMs = 30000;
constexpr int failTimeoutMs = 5000;

bool startPeer(peers::ProxyPeer &peer, const Setup &setup)
{
    switch (setup.protocol) {
    case Protocol::shadowsocks:
        return peer.startShadowsocks(setup.cipher, password);
    case Protocol::vmess:
        return peer.startVMess(userId, setup.transport);
    case Protocol::vless:
        return peer.startVLESS(userId, setup.transport);
    }
    return false;
}

ServerSettings clientSettings(const Setup &setup, quint16 port)
{
    const bool tls = setup.transport == peers::Transport::tls;
    const QString id = setup.mistake == Mistake::secret ? otherUserId : userId;
    switch (setup.protocol) {
    case Protocol::shadowsocks:
        return ShadowsockSettings { loopback, port, setup.cipher,
            setup.mistake == Mistake::secret ? QStringLiteral("wrong-password") : password };
    case Protocol::vmess:
        // The engine checks the certificate against the address: the certificate names 127.0.0.1,
        // not localhost.
        return VMessSettings { setup.mistake == Mistake::serverName ? QStringLiteral("localhost") : loopback, port, id,
            tls, QStringLiteral("0"), QStringLiteral("auto") };
    case Protocol::vless:
        break;
    }
    const QString sni = setup.mistake == Mistake::serverName ? QStringLiteral("other.test") : peers::testServerName;
    return VLESSSettings { loopback, port, id, {}, QStringLiteral("none"),
        tls ? QStringLiteral("tls") : QStringLiteral("none"), tls ? sni : QString(), {}, {}, {}, {} };
}

// The engine's HTTP proxy on httpPort in front of the server.
BackendConfiguration backendThrough(ServerSettings server, quint16 httpPort, const RoutingSettings &routing = {})
{
    BackendConfiguration backend { std::move(server), AppSettings {} };
    backend.appSettings.network = NetworkSettings { false, true, false, httpPort };
    backend.appSettings.routing = routing;
    return backend;
}

QList<DomainItem> fullDomains(const QStringList &names)
{
    QList<DomainItem> items;
    for (const QString &name : names)
        items.append(DomainItem { name, DomainRuleType::fullDomain });
    return items;
}

// Runs the engine for the backend; true once its HTTP proxy listens.
bool startEngine(EngineProcess &engine, const BackendConfiguration &backend)
{
    QSignalSpy started(&engine, &EngineProcess::started);
    QSignalSpy failed(&engine, &EngineProcess::failed);
    engine.start(json::serialize(makeEngineConfig(backend, EngineOptions {}).document));
    if (QTest::qWaitFor([&] { return !started.isEmpty() || !failed.isEmpty(); }, 15000) && !started.isEmpty())
        return true;
    const QString why = failed.isEmpty() ? QStringLiteral("no answer") : failed.first().first().toString();
    qWarning("the engine did not start: %s", qPrintable(why));
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class EngineRoundTripTest final : public QObject {
    Q_OBJECT

    // Engines under test trust the peers' certificate.
    peers::TestCaTrust m_trust;

private Q_SLOTS:
    // The reviewed configurations for the v2ray engine are ones it accepts, over a pipe as the tunnel hands them.
    void engineAcceptsTheGoldenConfigurations()
    {
        const QDir golden(QStringLiteral(WRENLOW_GOLDEN_DIR));
        const QStringList files = golden.entryList({ QStringLiteral("*.json") });
        QVERIFY(files.size() >= 5);
        for (const QString &name : files) {
            if (name.contains(u"xray"))
                continue;
            QFile file(golden.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QProcess engine;
            engine.start(QStringLiteral("v2ray"),
                { QStringLiteral("-test"), QStringLiteral("-config"), QStringLiteral("stdin:") });
            QVERIFY2(engine.waitForStarted(), "v2ray is not installed");
            engine.write(file.readAll());
            engine.closeWriteChannel();
            QVERIFY(engine.waitForFinished(10000));
            QVERIFY2(engine.exitCode() == 0, qPrintable(name + QString::fromUtf8(engine.readAllStandardOutput())));
        }
    }

    void reachesTheSiteOnlyWithTheServersSecrets_data()
    {
        QTest::addColumn<Setup>("setup");
        // What the server logs when it turns the client away: proof that it was the server that
        // refused, for the reason the row is about.
        QTest::addColumn<QByteArray>("complaint");
        using peers::Transport;
        const struct {
            const char *name;
            ShadowsocksCipher cipher;
        } ciphers[]
            = { { "aes-128-gcm", ShadowsocksCipher::aes128Gcm }, { "aes-256-gcm", ShadowsocksCipher::aes256Gcm },
                  { "chacha20-poly1305", ShadowsocksCipher::chacha20Poly1305 } };
        for (const auto &[name, cipher] : ciphers) {
            QTest::addRow("shadowsocks %s", name)
                << Setup { Protocol::shadowsocks, Transport::tcp, cipher } << QByteArray();
            QTest::addRow("shadowsocks %s, wrong password", name) << Setup { Protocol::shadowsocks, Transport::tcp,
                cipher, Mistake::secret } << QByteArray("authentication error");
        }
        for (const auto protocol : { Protocol::vmess, Protocol::vless }) {
            const char *name = protocol == Protocol::vmess ? "vmess" : "vless";
            for (const auto transport : { Transport::tcp, Transport::tls }) {
                const char *over = transport == Transport::tls ? "tls" : "tcp";
                QTest::addRow("%s %s", name, over) << Setup { protocol, transport } << QByteArray();
                QTest::addRow("%s %s, wrong user id", name, over)
                    << Setup { protocol, transport, {}, Mistake::secret }
                    // A VMess server hides the refusal: it drains the connection, then gives up on it.
                    << QByteArray(
                           protocol == Protocol::vmess ? "failed to read request header" : "invalid request user id");
            }
            // The certificate is checked, not merely accepted.
            QTest::addRow("%s tls, certificate for another name", name)
                << Setup { protocol, Transport::tls, {}, Mistake::serverName } << QByteArray("tls: bad certificate");
        }
    }

    void reachesTheSiteOnlyWithTheServersSecrets()
    {
        QFETCH(Setup, setup);
        QFETCH(QByteArray, complaint);
        TestHttpServer site;
        QVERIFY(site.start());
        peers::ProxyPeer peer;
        QVERIFY2(startPeer(peer, setup), qPrintable(peer.errorString()));
        const quint16 httpPort = freePort();
        EngineProcess engine(QStringLiteral("v2ray"));
        QVERIFY(startEngine(engine, backendThrough(clientSettings(setup, peer.port()), httpPort)));

        const bool reaches = setup.mistake == Mistake::none;
        const peers::Fetched fetched = peers::fetchThroughProxy(
            site.url(QStringLiteral("/")), httpPort, reaches ? reachTimeoutMs : failTimeoutMs);
        const auto requests = site.requests();
        if (reaches) {
            QVERIFY2(fetched.error == QNetworkReply::NoError, qPrintable(fetched.errorString));
            QCOMPARE(fetched.body, TestHttpServer::page());
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests.first().target, QByteArray("/"));
            QCOMPARE(requests.first().host, "127.0.0.1:" + QByteArray::number(site.port()));
        } else {
            QVERIFY(fetched.error != QNetworkReply::NoError);
            QVERIFY(fetched.body != TestHttpServer::page());
            QCOMPARE(requests.size(), 0);
            QTRY_VERIFY2(peer.output().contains(complaint), peer.output().constData());
        }
    }

    void routesByDomain_data()
    {
        QTest::addColumn<QStringList>("blocked");
        QTest::addColumn<QStringList>("direct");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("serverStopped");
        QTest::addColumn<bool>("reaches");
        // Two names for the same site: one listed, the other not.
        const QString name = QStringLiteral("localhost");
        const QStringList listed { name };
        const QStringList none;
        QTest::newRow("blocked name") << listed << none << name << false << false;
        QTest::newRow("other name beside a block") << listed << none << loopback << false << true;
        QTest::newRow("block wins over direct") << listed << listed << name << false << false;
        QTest::newRow("direct name, server gone") << none << listed << name << true << true;
        QTest::newRow("proxied name, server gone") << none << listed << loopback << true << false;
    }

    void routesByDomain()
    {
        QFETCH(QStringList, blocked);
        QFETCH(QStringList, direct);
        QFETCH(QString, host);
        QFETCH(bool, serverStopped);
        QFETCH(bool, reaches);
        TestHttpServer site;
        QVERIFY(site.start());
        peers::ProxyPeer peer;
        QVERIFY2(peer.startShadowsocks(ShadowsocksCipher::aes256Gcm, password), qPrintable(peer.errorString()));
        RoutingSettings routing;
        routing.blockDomains = fullDomains(blocked);
        routing.directDomains = fullDomains(direct);
        const quint16 httpPort = freePort();
        EngineProcess engine(QStringLiteral("v2ray"));
        const ShadowsockSettings server { loopback, peer.port(), ShadowsocksCipher::aes256Gcm, password };
        QVERIFY(startEngine(engine, backendThrough(server, httpPort, routing)));
        if (serverStopped)
            peer.stop();

        const QUrl url = site.url(QStringLiteral("/"), host);
        const peers::Fetched fetched
            = peers::fetchThroughProxy(url, httpPort, reaches ? reachTimeoutMs : failTimeoutMs);
        const auto requests = site.requests();
        if (reaches) {
            QVERIFY2(fetched.error == QNetworkReply::NoError, qPrintable(fetched.errorString));
            QCOMPARE(fetched.body, TestHttpServer::page());
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests.first().host, host.toUtf8() + ':' + QByteArray::number(site.port()));
        } else {
            QVERIFY(fetched.error != QNetworkReply::NoError);
            QCOMPARE(requests.size(), 0);
        }
    }
};

WRENLOW_TEST(EngineRoundTripTest)
#include "tst_engineroundtrip.moc"
