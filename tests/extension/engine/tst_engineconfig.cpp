#include "core/tunnel/tunnelprovidererror.h"
#include "engine/engineconfig.h"
#include "engine/geoipranges.h"
#include "golden.h"
#include "testregistry.h"

#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

namespace {

using Tweak = std::function<void(BackendConfiguration &, EngineOptions &)>;

const Tweak none = [](BackendConfiguration &, EngineOptions &) {};
const Tweak xray = [](BackendConfiguration &, EngineOptions &o) { o.kind = EngineKind::xray; };

const ServerSettings shadowsocks
    = ShadowsockSettings { QStringLiteral("ss.example"), 8388, ShadowsocksCipher::aes256Gcm, QStringLiteral("secret") };
const ServerSettings vmessTls = VMessSettings { QStringLiteral("vm.example"), 443,
    QStringLiteral("b831381d-6324-4d53-ad4f-8cda48b30811"), true, {}, QStringLiteral("auto") };
const VLESSSettings vlessBase { QStringLiteral("vl.example"), 443,
    QStringLiteral("27848739-7e62-4138-9fd3-098a63964b6b"), {}, QStringLiteral("none"), QStringLiteral("tls"),
    QStringLiteral("cdn.example"), {}, {}, {}, {} };

// An HTTP proxy on 8080 and no transparent interception: what a start can run today.
BackendConfiguration backendWith(ServerSettings server)
{
    BackendConfiguration backend { std::move(server), AppSettings {} };
    backend.appSettings.network = NetworkSettings { false, true, true, 8080 };
    return backend;
}

QString refusal(const BackendConfiguration &backend, const EngineOptions &options)
{
    try {
        makeEngineConfig(backend, options);
    } catch (const TunnelProviderError &error) {
        return error.description();
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(Tweak)

class EngineConfigTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void golden_data()
    {
        QTest::addColumn<ServerSettings>("server");
        QTest::addColumn<Tweak>("tweak");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("shadowsocks") << shadowsocks << Tweak([](BackendConfiguration &, EngineOptions &o) {
            o.apiPort = 10085;
            o.tunnelPort = 10086;
        }) << QStringList();
        QTest::newRow("vmess-tls") << vmessTls << none << QStringList();
        VLESSSettings plain = vlessBase;
        plain.security = QStringLiteral("none");
        plain.sni.clear();
        QTest::newRow("vless-plain") << ServerSettings(plain) << none << QStringList();
        VLESSSettings fingerprinted = vlessBase;
        fingerprinted.fingerprint = QStringLiteral("chrome");
        QTest::newRow("vless-tls-v2ray")
            << ServerSettings(fingerprinted) << none
            << QStringList { QStringLiteral(
                   "The v2ray engine cannot imitate the \"chrome\" TLS fingerprint; it connects with its own") };
        QTest::newRow("vless-tls-xray") << ServerSettings(fingerprinted) << xray << QStringList();
        VLESSSettings reality = vlessBase;
        reality.security = QStringLiteral("reality");
        reality.flow = QStringLiteral("xtls-rprx-vision");
        reality.sni = QStringLiteral("www.example.com");
        reality.publicKey = QStringLiteral("Z84J2IelR9ch3k8VtlVhhs5ycBUlXA7wHBWcBrjqnAw");
        reality.shortId = QStringLiteral("6ba85179e30d4fc2");
        reality.spiderX = QStringLiteral("/");
        QTest::newRow("vless-reality-xray") << ServerSettings(reality) << xray << QStringList();
        QTest::newRow("routing-and-regions") << shadowsocks << Tweak([](BackendConfiguration &b, EngineOptions &o) {
            o.apiPort = 10085;
            o.regionRanges.insert(
                QStringLiteral(".cn"), { QStringLiteral("1.0.1.0/24"), QStringLiteral("2400:3200::/32") });
            o.regionRanges.insert(QStringLiteral(".ru"), { QStringLiteral("5.3.0.0/16") });
            auto &s = b.appSettings;
            s.geoIP.isEnabled = true;
            s.geoIP.regions.append(GeoIPRegion { QStringLiteral("Russia"), QStringLiteral(".ru") });
            s.routing.directDomains = { { QStringLiteral("intranet.example"), DomainRuleType::rootDomain },
                { QString(), DomainRuleType::fullDomain } };
            s.routing.proxyDomains = { { QStringLiteral("news.example.cn"), DomainRuleType::fullDomain } };
            s.routing.blockDomains = { { QStringLiteral("ads.example"), DomainRuleType::rootDomain } };
            s.dns = DNSSettings { false, { QStringLiteral("9.9.9.9") } };
        }) << QStringList();
        QTest::newRow("no-http-proxy") << shadowsocks << Tweak([](BackendConfiguration &b, EngineOptions &) {
            b.appSettings.network.httpProxy = false;
        }) << QStringList();
        // The server's looked-up address is dialled; its name stays the TLS server name.
        const Tweak transparent = [](BackendConfiguration &b, EngineOptions &o) {
            o.transparentPort = 12345;
            o.serverDialAddress = QStringLiteral("203.0.113.5");
            b.appSettings.network.transparentProxy = true;
            b.appSettings.dns = DNSSettings { true, { QStringLiteral("1.1.1.1"), QStringLiteral(" ") } };
        };
        QTest::newRow("transparent") << vmessTls << transparent << QStringList();
        QTest::newRow("transparent-shadowsocks") << shadowsocks << transparent << QStringList();
        // No IPv6 on the loopback interface: no inbound on ::1.
        QTest::newRow("transparent-ipv4-only")
            << shadowsocks << Tweak([transparent](BackendConfiguration &b, EngineOptions &o) {
                   transparent(b, o);
                   o.transparentIPv6 = false;
               })
            << QStringList();
    }

    void golden()
    {
        QFETCH(ServerSettings, server);
        QFETCH(Tweak, tweak);
        QFETCH(QStringList, warnings);
        BackendConfiguration backend = backendWith(server);
        EngineOptions options;
        tweak(backend, options);
        const EngineConfig config = makeEngineConfig(backend, options);
        QCOMPARE(config.warnings, warnings);

        const QString file = u"extension/engine/golden/"_s + QString::fromLatin1(QTest::currentDataTag());
        QCOMPARE(json::serialize(config.document), ::golden(file, config.document));
    }

    // Anything whose loss would weaken encryption or authentication stops the start with its reason.
    void refusals_data()
    {
        QTest::addColumn<ServerSettings>("server");
        QTest::addColumn<Tweak>("tweak");
        QTest::addColumn<QString>("description");
        VLESSSettings reality = vlessBase;
        reality.security = QStringLiteral("reality");
        reality.publicKey = QStringLiteral("key");
        VLESSSettings vision = vlessBase;
        vision.flow = QStringLiteral("xtls-rprx-vision");
        VLESSSettings noKey = reality;
        noKey.publicKey.clear();
        VLESSSettings encrypted = vlessBase;
        encrypted.encryption = QStringLiteral("aes-128-gcm");
        VLESSSettings xtls = vlessBase;
        xtls.security = QStringLiteral("xtls");
        const auto row = [](const char *name, const ServerSettings &server, const Tweak &tweak, const QString &text) {
            QTest::newRow(name) << server << tweak << u"Cannot start tunnel: "_s + text;
        };
        row("reality on v2ray", reality, none,
            u"the server uses REALITY, which the v2ray engine does not support; install xray to use it"_s);
        row("flow on v2ray", vision, none,
            u"the server uses the flow \"xtls-rprx-vision\", which the v2ray engine does not support; install xray "
            "to use it"_s);
        row("reality without key", noKey, xray, u"the REALITY server has no public key"_s);
        row("vless encryption", encrypted, xray, u"the VLESS encryption \"aes-128-gcm\" is not supported"_s);
        row("unknown security", xtls, xray, u"the transport security \"xtls\" is not supported"_s);
        row(
            "transparent proxy, only the system's resolver", shadowsocks,
            [](BackendConfiguration &b, EngineOptions &o) {
                o.transparentPort = 12345;
                b.appSettings.network.transparentProxy = true;
                b.appSettings.dns = DNSSettings { true, {} };
            },
            u"the transparent proxy needs at least one DNS server address in the DNS settings"_s);
        row(
            "proxy port", shadowsocks,
            [](BackendConfiguration &b, EngineOptions &) { b.appSettings.network.httpProxyPort = 70000; },
            u"the HTTP proxy port 70000 is out of range"_s);
        row("server port", ShadowsockSettings { u"h"_s, 0, ShadowsocksCipher::aes128Gcm, u"p"_s }, none,
            u"the server port 0 is out of range"_s);
    }

    void refusals()
    {
        QFETCH(ServerSettings, server);
        QFETCH(Tweak, tweak);
        QFETCH(QString, description);
        BackendConfiguration backend = backendWith(server);
        EngineOptions options;
        tweak(backend, options);
        QCOMPARE(refusal(backend, options), description);
    }

    // The engine takes CIDR blocks; a range must be covered exactly, by the fewest blocks, up to the
    // top address.
    void blocks()
    {
        const auto v4 = [](const char *text) { return QHostAddress(QString::fromLatin1(text)).toIPv4Address(); };
        QCOMPARE(geoip::ipv4Blocks(v4("10.0.0.1"), v4("10.0.0.6")),
            (QStringList { u"10.0.0.1/32"_s, u"10.0.0.2/31"_s, u"10.0.0.4/31"_s, u"10.0.0.6/32"_s }));
        QCOMPARE(geoip::ipv4Blocks(0, 0xffffffff), QStringList { u"0.0.0.0/0"_s });
        QCOMPARE(geoip::ipv4Blocks(0xffffffff, 0xffffffff), QStringList { u"255.255.255.255/32"_s });
        QCOMPARE(geoip::ipv6Blocks(0, ~(unsigned __int128)0), QStringList { u"::/0"_s });
    }

    // Only the asked country's lines count (".uk" is "GB"); comments and malformed lines are skipped.
    void readsOneCountry()
    {
        QTemporaryDir dir;
        QFile v4File(dir.filePath(u"geoip"_s));
        QVERIFY(v4File.open(QIODevice::WriteOnly));
        v4File.write("# comment,GB\n16777472,16778239,GB\n16778240,16779263,AU\nbroken,GB\n33554432,16777216,GB\n");
        v4File.close();
        QFile v6File(dir.filePath(u"geoip6"_s));
        QVERIFY(v6File.open(QIODevice::WriteOnly));
        v6File.write("2400:3200::,2400:3200:ffff:ffff:ffff:ffff:ffff:ffff,GB\n2001:2::,2001:2:0:ffff::,JP\n");
        v6File.close();
        QCOMPARE(geoip::rangesFor(geoip::countryCodeForTld(u".uk"_s), v4File.fileName(), v6File.fileName()),
            (QStringList { u"1.0.1.0/24"_s, u"1.0.2.0/23"_s, u"2400:3200::/32"_s }));
        // The installed database has the default region's ranges.
        QVERIFY(geoip::rangesFor(u"CN"_s).contains(u"1.0.1.0/24"_s));
    }
};

WRENLOW_TEST(EngineConfigTest)
#include "tst_engineconfig.moc"
