// The engine's configuration put to work: real traffic from an HTTP client through the engine and
// a real proxy server to a local site, for every protocol the v2ray engine speaks.
#include "engine/engineconfig.h"
#include "engine/engineprocess.h"
#include "httpserver.h"
#include "testpeers.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

enum class Protocol { shadowsocks, vmess, vless };

struct Setup {
    Protocol protocol = Protocol::shadowsocks;
    peers::Transport transport = peers::Transport::tcp;
    ShadowsocksCipher cipher = ShadowsocksCipher::aes256Gcm;
    // The client expects a certificate for another name than the server's.
    bool otherName = false;
    // Full domains sent nowhere and sent straight out.
    QStringList blocked {};
    QStringList direct {};
    QString host = u"127.0.0.1"_s;
    bool serverStopped = false;
};

const QString password = u"peer-password"_s;
const QString userId = u"5783a3e7-e373-51cd-8642-c83782b807c5"_s;

ServerSettings clientSettings(const Setup &setup, quint16 port)
{
    const bool tls = setup.transport == peers::Transport::tls;
    switch (setup.protocol) {
    case Protocol::shadowsocks:
        return ShadowsockSettings { u"127.0.0.1"_s, port, setup.cipher, password };
    case Protocol::vmess:
        // The engine checks the certificate against the address, which names 127.0.0.1, not localhost.
        return VMessSettings { setup.otherName ? u"localhost"_s : u"127.0.0.1"_s, port, userId, tls, u"0"_s,
            u"auto"_s };
    case Protocol::vless:
        break;
    }
    const QString sni = setup.otherName ? u"other.test"_s : peers::testServerName;
    return VLESSSettings { u"127.0.0.1"_s, port, userId, {}, u"none"_s, tls ? u"tls"_s : u"none"_s,
        tls ? sni : QString(), {}, {}, {}, {} };
}

QList<DomainItem> fullDomains(const QStringList &names)
{
    QList<DomainItem> items;
    for (const QString &name : names)
        items.append(DomainItem { name, DomainRuleType::fullDomain });
    return items;
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class EngineRoundTripTest final : public QObject {
    Q_OBJECT

    // Engines under test trust the peers' certificate.
    peers::TestCaTrust m_trust;

private Q_SLOTS:
    void reachesTheSite_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<bool>("reaches");
        using peers::Transport;
        for (const auto cipher :
            { ShadowsocksCipher::aes128Gcm, ShadowsocksCipher::aes256Gcm, ShadowsocksCipher::chacha20Poly1305 })
            QTest::addRow("shadowsocks %d", int(cipher)) << Setup { .cipher = cipher } << true;
        for (const auto protocol : { Protocol::vmess, Protocol::vless }) {
            const char *name = protocol == Protocol::vmess ? "vmess" : "vless";
            QTest::addRow("%s tcp", name) << Setup { .protocol = protocol } << true;
            QTest::addRow("%s tls", name) << Setup { .protocol = protocol, .transport = Transport::tls } << true;
            // The certificate is checked, not merely accepted.
            QTest::addRow("%s tls, certificate for another name", name)
                << Setup { .protocol = protocol, .transport = Transport::tls, .otherName = true } << false;
        }
        // Two names for the same site: one listed, the other not. A name both blocked and direct is
        // blocked.
        const QStringList listed { u"localhost"_s };
        Setup routed;
        routed.blocked = listed;
        routed.direct = listed;
        routed.host = u"localhost"_s;
        QTest::newRow("blocked name, also direct") << routed << false;
        routed.direct.clear();
        routed.host = u"127.0.0.1"_s;
        QTest::newRow("other name beside a block") << routed << true;
        routed.blocked.clear();
        routed.direct = listed;
        routed.serverStopped = true;
        QTest::newRow("proxied name, server gone") << routed << false;
        routed.host = u"localhost"_s;
        QTest::newRow("direct name, server gone") << routed << true;
    }

    void reachesTheSite()
    {
        QFETCH(Setup, setup);
        QFETCH(bool, reaches);
        TestHttpServer site;
        QVERIFY(site.start());
        peers::ProxyPeer peer;
        const bool up = setup.protocol == Protocol::shadowsocks
            ? peer.startShadowsocks(setup.cipher, password)
            : peer.startV2Ray(setup.protocol == Protocol::vmess ? "vmess" : "vless", userId, setup.transport);
        QVERIFY2(up, qPrintable(peer.errorString()));
        BackendConfiguration backend { clientSettings(setup, peer.port()), AppSettings {} };
        backend.appSettings.network = NetworkSettings { false, true, false, freePort() };
        backend.appSettings.routing.blockDomains = fullDomains(setup.blocked);
        backend.appSettings.routing.directDomains = fullDomains(setup.direct);
        EngineProcess engine(u"v2ray"_s);
        QSignalSpy started(&engine, &EngineProcess::started);
        engine.start(json::serialize(makeEngineConfig(backend, EngineOptions {}).document));
        QVERIFY(started.wait(15000));
        if (setup.serverStopped)
            peer.stop();

        // Long enough for a loaded machine; a fetch that must fail waits less, as nothing would ever come.
        const peers::Fetched fetched = peers::fetchThroughProxy(
            site.url(u"/"_s, setup.host), quint16(backend.appSettings.network.httpProxyPort), reaches ? 30000 : 5000);
        const auto requests = site.requests();
        if (!reaches) {
            QVERIFY(!fetched.succeeded());
            QCOMPARE(requests.size(), 0);
            // Proof that it was the server that refused, for the reason the row is about.
            if (setup.otherName)
                QTRY_VERIFY2(peer.output().contains("tls: bad certificate"), peer.output().constData());
            return;
        }
        QVERIFY2(fetched.succeeded(), qPrintable(fetched.errorString));
        QCOMPARE(fetched.body, TestHttpServer::page());
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().target, "/"_ba);
        QCOMPARE(requests.first().host, setup.host.toUtf8() + ':' + QByteArray::number(site.port()));
    }
};

WRENLOW_TEST(EngineRoundTripTest)
#include "tst_engineroundtrip.moc"
