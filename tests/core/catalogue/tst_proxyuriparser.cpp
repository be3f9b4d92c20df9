#include "core/catalogue/proxyuriparser.h"
#include "core/catalogue/uricomponents.h"
#include "testregistry.h"

#include <QRegularExpression>
#include <QTest>

namespace {

const QString absent = QStringLiteral("<absent>");

// One line per server, so that a row states every field it cares about in one comparison.
struct Summary {
    QString operator()(const ShadowsockSettings &s) const
    {
        return QStringLiteral("ss %1:%2 %3 %4").arg(s.address).arg(s.port).arg(caseName(s.cipher), s.password);
    }
    QString operator()(const VMessSettings &s) const
    {
        return QStringLiteral("vmess %1:%2 %3 tls=%4 alter=%5 %6")
            .arg(s.address)
            .arg(s.port)
            .arg(s.userId)
            .arg(s.tls ? QStringLiteral("true") : QStringLiteral("false"), s.userAlterId, s.security);
    }
    QString operator()(const VLESSSettings &s) const
    {
        return QStringLiteral("vless %1:%2 %3 flow=%4 enc=%5 sec=%6 sni=%7 fp=%8 pbk=%9 sid=%10 spx=%11")
            .arg(s.address)
            .arg(s.port)
            .arg(s.userId, s.flow, s.encryption, s.security, s.sni, s.fingerprint, s.publicKey)
            .arg(s.shortId, s.spiderX);
    }
};

// The server as "<name> | <settings>", or the error text the user would see.
QString outcome(const QString &uri)
{
    try {
        const ServerPtr server = parseProxyURI(uri);
        return server->name() + QStringLiteral(" | ") + std::visit(Summary {}, server->settings());
    } catch (const ProxyURIParseError &error) {
        return QStringLiteral("error: ") + error.description();
    }
}

void expectLog(QtMsgType type, const QString &text)
{
    if (!text.isEmpty())
        QTest::ignoreMessage(type, text.toUtf8().constData());
}

QString vmessUri(const QByteArray &json, QByteArray::Base64Options options = QByteArray::Base64Encoding)
{
    return QStringLiteral("vmess://") + QString::fromLatin1(json.toBase64(options));
}

const QString invalid = QStringLiteral("error: Invalid format");
const QString unsupported = QStringLiteral("error: Unsupported protocol");

QString unsupportedCipher(const char *method)
{
    return QStringLiteral("error: Shadowsocks error: The cipher %1 is not supported").arg(QLatin1String(method));
}

} // namespace

class ProxyUriParserTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void uriComponents_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<int>("part");
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("decoded");
        using P = UriComponents::Part;
        QTest::newRow("user up to first colon") << QStringLiteral("ss://u%3Ax:p%40w:z@h:1") << int(P::user)
                                                << QStringLiteral("u%3Ax") << QStringLiteral("u:x");
        QTest::newRow("password after it") << QStringLiteral("ss://u%3Ax:p%40w:z@h:1") << int(P::password)
                                           << QStringLiteral("p%40w:z") << QStringLiteral("p@w:z");
        QTest::newRow("no user info") << QStringLiteral("ss://h:1") << int(P::user) << absent << absent;
        QTest::newRow("host keeps case and =")
            << QStringLiteral("ss://YWJj=:1") << int(P::host) << QStringLiteral("YWJj=") << QStringLiteral("YWJj=");
        QTest::newRow("ipv6 without brackets") << QStringLiteral("vless://a@[2001:db8::1]:443") << int(P::host)
                                               << QStringLiteral("2001:db8::1") << QStringLiteral("2001:db8::1");
        QTest::newRow("path after authority") << QStringLiteral("vmess://abc/de/f+g=?q=1#f") << int(P::path)
                                              << QStringLiteral("/de/f+g=") << QStringLiteral("/de/f+g=");
        QTest::newRow("plus stays plus") << QStringLiteral("ss://h?a+b%2B") << int(P::query) << QStringLiteral("a+b%2B")
                                         << QStringLiteral("a+b+");
        QTest::newRow("fragment as written") << QStringLiteral("ss://h#My%20Server 🇺🇸#2") << int(P::fragment)
                                             << QStringLiteral("My%20Server 🇺🇸#2") << QStringLiteral("My Server 🇺🇸#2");
        QTest::newRow("stray percent in fragment")
            << QStringLiteral("ss://h#100%") << int(P::fragment) << QStringLiteral("100%") << QStringLiteral("100%");
        QTest::newRow("empty fragment") << QStringLiteral("ss://h#") << int(P::fragment) << QString() << QString();
        QTest::newRow("escaped nul") << QStringLiteral("ss://h#a%00b") << int(P::fragment) << QStringLiteral("a%00b")
                                     << QStringLiteral("a") + QChar(0) + u'b';
        QTest::newRow("not utf-8 once decoded")
            << QStringLiteral("ss://h/a%FFb") << int(P::path) << QStringLiteral("/a%FFb") << absent;
    }

    void uriComponents()
    {
        QFETCH(QString, uri);
        QFETCH(int, part);
        QFETCH(QString, raw);
        QFETCH(QString, decoded);
        const auto components = UriComponents::parse(uri);
        QVERIFY(components);
        const auto p = UriComponents::Part(part);
        QCOMPARE(
            components->raw(p).value_or(absent) + u'|' + components->decoded(p).value_or(absent), raw + u'|' + decoded);
    }

    void schemes_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        QTest::newRow("SS legacy") << QStringLiteral("SS://YWVzLTI1Ni1nY206cGFzc0BleGFtcGxlLmNvbTo4Mzg4#N")
                                   << QStringLiteral("N | ss example.com:8388 aes256Gcm pass");
        QTest::newRow("Ss plain") << QStringLiteral("Ss://aes-128-gcm:pw@h.example:1")
                                  << QStringLiteral("h.example | ss h.example:1 aes128Gcm pw");
        QTest::newRow("VMESS")
            << vmessUri(R"({"ps":"N","add":"h","port":"1","id":"i"})").replace(0, 5, QStringLiteral("VMESS"))
            << QStringLiteral("N | vmess h:1 i tls=false alter= auto");
        QTest::newRow("VLESS") << QStringLiteral("VLESS://id@h:1")
                               << QStringLiteral("h | vless h:1 id flow= enc=none sec=none sni= fp= pbk= sid= spx=");
        QTest::newRow("http") << QStringLiteral("http://example.com/") << unsupported;
        QTest::newRow("trojan") << QStringLiteral("trojan://pw@example.com:443") << unsupported;
        QTest::newRow("relative") << QStringLiteral("example.com/ss") << unsupported;
        QTest::newRow("network-path") << QStringLiteral("//example.com:1") << unsupported;
        QTest::newRow("space outside fragment") << QStringLiteral("vless://id@h:1/a b") << invalid;
        QTest::newRow("non-ascii host") << QStringLiteral("vless://id@hóst:1") << invalid;
        QTest::newRow("leading space") << QStringLiteral(" vless://id@h:1") << invalid;
        QTest::newRow("colon in first segment") << QStringLiteral("1ss://h") << invalid;
        QTest::newRow("port beyond 64 bits") << QStringLiteral("vless://id@h:99999999999999999999") << invalid;
    }

    void schemes() { compareOutcome(); }

    void shadowsocksLegacy_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("log");
        QTest::newRow("padded with name")
            << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo2NTUzNQ==#Name")
            << QStringLiteral("Name | ss example.com:65535 aes128Gcm pass") << QString();
        QTest::newRow("unpadded, no name")
            << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo2NTUzNQ")
            << QStringLiteral("example.com | ss example.com:65535 aes128Gcm pass") << QString();
        QTest::newRow("unsupported method") << QStringLiteral("ss://cmM0LW1kNTpwYXNzQGV4YW1wbGUuY29tOjgzODg=#Name")
                                            << unsupportedCipher("rc4-md5") << QString();
        QTest::newRow("plugin") << QStringLiteral(
            "ss://YWVzLTI1Ni1nY206cGFzc0BleGFtcGxlLmNvbTo4Mzg4?plugin=v2ray-plugin")
                                << QStringLiteral("error: Shadowsocks error: The plugin v2ray-plugin is not supported")
                                << QString();
        QTest::newRow("blanks around host")
            << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0AgZXhhbXBsZS5jb20gOjgzODg=")
            << QStringLiteral("example.com | ss example.com:8388 aes128Gcm pass") << QString();
        QTest::newRow("upper-case method")
            << QStringLiteral("ss://Q0hBQ0hBMjAtSUVURi1QT0xZMTMwNTpwYXNzQDEuMi4zLjQ6NDQz")
            << QStringLiteral("1.2.3.4 | ss 1.2.3.4:443 chacha20Poly1305 pass") << QString();
        QTest::newRow("escapes stay in name")
            << QStringLiteral("ss://YWVzLTI1Ni1nY206cGFzc0BleGFtcGxlLmNvbTo4Mzg4#A%20B")
            << QStringLiteral("A%20B | ss example.com:8388 aes256Gcm pass") << QString();
        QTest::newRow("colon in password")
            << QStringLiteral("ss://YWVzLTEyOC1nY206cGE6c3NAZXhhbXBsZS5jb206ODM4OA==")
            << QStringLiteral("example.com | ss example.com:8388 aes128Gcm pa:ss") << QString();
        QTest::newRow("ipv6 address") << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BbOjoxXTo4Mzg4")
                                      << QStringLiteral("::1 | ss ::1:8388 aes128Gcm pass") << QString();
        QTest::newRow("at in password") << QStringLiteral("ss://YWVzLTEyOC1nY206cEBzc0BleGFtcGxlLmNvbTo4Mzg4")
                                        << QStringLiteral("example.com | ss example.com:8388 aes128Gcm p@ss")
                                        << QString();
        QTest::newRow("colons and ats, ipv6")
            << QStringLiteral("ss://YWVzLTEyOC1nY206cEBhOnNAc0BbMjAwMTpkYjg6OjFdOjQ0Mw==")
            << QStringLiteral("2001:db8::1 | ss 2001:db8::1:443 aes128Gcm p@a:s@s") << QString();
        QTest::newRow("ipv6 without brackets") << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0A6OjE6ODM4OA==") << invalid
                                               << QStringLiteral("Shadowsocks: Invalid components count");
        QTest::newRow("brackets around no address")
            << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BbOjpnXTox") << invalid
            << QStringLiteral("Shadowsocks: Invalid components count");
        QTest::newRow("colon in password, port 99999")
            << QStringLiteral("ss://YWVzLTEyOC1nY206cGE6c3NAWzo6MV06OTk5OTk=") << invalid
            << QStringLiteral("Shadowsocks: Invalid components count");
        QTest::newRow("port 0") << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTow") << invalid
                                << QStringLiteral("Shadowsocks: Invalid port number");
        QTest::newRow("port 65536") << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo2NTUzNg==")
                                    << invalid << QStringLiteral("Shadowsocks: Invalid port number");
        QTest::newRow("port -1") << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTotMQ==") << invalid
                                 << QStringLiteral("Shadowsocks: Invalid port number");
        QTest::newRow("port 2^63-1") << QStringLiteral(
            "ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo5MjIzMzcyMDM2ODU0Nzc1ODA3")
                                     << invalid << QStringLiteral("Shadowsocks: Invalid port number");
        QTest::newRow("port not decimal") << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo4MGE=")
                                          << invalid << QStringLiteral("Shadowsocks: Invalid port number");
        // Both faults: the port is checked before the "@" split.
        QTest::newRow("no at and port 0") << QStringLiteral("ss://YWVzLTEyOC1nY206cGFzc2V4YW1wbGUuY29tOjA=") << invalid
                                          << QStringLiteral("Shadowsocks: Invalid port number");
        // "aG9zdA" is base64 of "host": taken for the legacy form, so the plain form is never tried.
        QTest::newRow("host that is base64 text") << QStringLiteral("ss://aes-256-gcm:secret@aG9zdA:8388") << invalid
                                                  << QStringLiteral("Shadowsocks: Invalid components count");
    }

    void shadowsocksLegacy()
    {
        QFETCH(QString, log);
        expectLog(QtCriticalMsg, log);
        compareOutcome();
    }

    void shadowsocksPlain_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("log");
        const QString cannotParse = QStringLiteral("Cannot parse Shadowsocks URI");
        QTest::newRow("plain") << QStringLiteral("ss://aes-256-gcm:secret@aG9zdA.com:8388#Home")
                               << QStringLiteral("Home | ss aG9zdA.com:8388 aes256Gcm secret") << QString();
        QTest::newRow("escaped password")
            << QStringLiteral("ss://aes-128-gcm:p%40ss%3Aw%2B@example.com:1")
            << QStringLiteral("example.com | ss example.com:1 aes128Gcm p@ss:w+") << QString();
        QTest::newRow("ipv6") << QStringLiteral("ss://aes-128-gcm:pw@[2001:db8::1]:65535")
                              << QStringLiteral("2001:db8::1 | ss 2001:db8::1:65535 aes128Gcm pw") << QString();
        QTest::newRow("unknown cipher") << QStringLiteral("ss://rc4-md5:pw@[2001:db8::1]:8388")
                                        << unsupportedCipher("rc4-md5") << QString();
        QTest::newRow("stream chacha20") << QStringLiteral("ss://chacha20-ietf:pw@example.com:1")
                                         << unsupportedCipher("chacha20-ietf") << QString();
        QTest::newRow("2022 method") << QStringLiteral("ss://2022-blake3-aes-128-gcm:pw@example.com:1")
                                     << unsupportedCipher("2022-blake3-aes-128-gcm") << QString();
        QTest::newRow("sip002 nonsense method")
            << QStringLiteral("ss://Zm9vOnB3@example.com:1") << unsupportedCipher("foo") << QString();
        QTest::newRow("sip002 standard padded")
            << QStringLiteral("ss://YWVzLTI1Ni1nY206YWE+YQ==@example.com:8388#T")
            << QStringLiteral("T | ss example.com:8388 aes256Gcm aa>a") << QString();
        QTest::newRow("sip002 url-safe unpadded")
            << QStringLiteral("ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTo_YQ@example.com:8388")
            << QStringLiteral("example.com | ss example.com:8388 chacha20Poly1305 ?a") << QString();
        QTest::newRow("sip002 url-safe minus")
            << QStringLiteral("ss://YWVzLTI1Ni1nY206YWE-YQ@example.com:1")
            << QStringLiteral("example.com | ss example.com:1 aes256Gcm aa>a") << QString();
        QTest::newRow("sip002 escaped padding, slash, empty plugin")
            << QStringLiteral("ss://YWVzLTI1Ni1nY206cGE6c3M%3D@example.com:1/?plugin=")
            << QStringLiteral("example.com | ss example.com:1 aes256Gcm pa:ss") << QString();
        QTest::newRow("sip002 plugin with options")
            << QStringLiteral("ss://YWVzLTI1Ni1nY206cGE6c3M%3D@example.com:1/?plugin=obfs-local%3Bobfs%3Dhttp#N")
            << QStringLiteral("error: Shadowsocks error: The plugin obfs-local is not supported") << QString();
        QTest::newRow("sip002 without colon")
            << QStringLiteral("ss://bm9jb2xvbmhlcmU=@example.com:1") << invalid << cannotParse;
        QTest::newRow("sip002 not utf-8") << QStringLiteral("ss://__46_Q@example.com:1") << invalid << cannotParse;
        QTest::newRow("user part not base64") << QStringLiteral("ss://aes!@example.com:1") << invalid << cannotParse;
        QTest::newRow("no port") << QStringLiteral("ss://aes-128-gcm:pw@example.com") << invalid << cannotParse;
        QTest::newRow("port 0") << QStringLiteral("ss://aes-128-gcm:pw@example.com:0") << invalid << cannotParse;
        QTest::newRow("port 65536") << QStringLiteral("ss://aes-256-gcm:pass@h.example.com:65536") << invalid
                                    << cannotParse;
        QTest::newRow("port 2^63-1") << QStringLiteral("ss://aes-256-gcm:pass@h.example.com:9223372036854775807")
                                     << invalid << cannotParse;
        QTest::newRow("empty method") << QStringLiteral("ss://:pw@example.com:1") << invalid << cannotParse;
    }

    void shadowsocksPlain()
    {
        QFETCH(QString, log);
        expectLog(QtInfoMsg, log);
        compareOutcome();
    }

    void names_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("originalName");
        const QString ss = QStringLiteral("ss://aes-128-gcm:pw@example.com:1#");
        const QString vless = QStringLiteral("vless://id@example.com:1#");
        const QString flag = QStringLiteral("🇺🇸 US 1");
        QTest::newRow("ss keeps escapes")
            << ss + QStringLiteral("My%20Server") << QStringLiteral("My%20Server") << QStringLiteral("My%20Server");
        QTest::newRow("vless decodes") << vless + QStringLiteral("My%20Server") << QStringLiteral("My Server")
                                       << QStringLiteral("My Server");
        QTest::newRow("ss emoji and space") << ss + flag << flag << flag;
        QTest::newRow("vless emoji and space") << vless + flag << flag << flag;
        QTest::newRow("vless second hash")
            << vless + QStringLiteral("a#b") << QStringLiteral("a#b") << QStringLiteral("a#b");
        QTest::newRow("vless not utf-8") << vless + QStringLiteral("%FF") << QStringLiteral("example.com")
                                         << QStringLiteral("example.com");
        QTest::newRow("vless clean-up") << vless + QStringLiteral("aes:pw@node.example:8388")
                                        << QStringLiteral("node.example") << QStringLiteral("aes:pw@node.example:8388");
        QTest::newRow("ss clean-up keeps escapes")
            << ss + QStringLiteral("a%20b@n:1") << QStringLiteral("n") << QStringLiteral("a%20b@n:1");
        QTest::newRow("vmess clean-up") << vmessUri(R"({"ps":"u@node:443","add":"a","port":"1","id":"i"})")
                                        << QStringLiteral("node") << QStringLiteral("u@node:443");
    }

    void names()
    {
        QFETCH(QString, uri);
        QFETCH(QString, name);
        QFETCH(QString, originalName);
        const ServerPtr server = parseProxyURI(uri);
        QVERIFY(server->isInSubscription());
        QCOMPARE(server->name() + u'|' + server->originalName(), name + u'|' + originalName);
    }

    void vmess_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("logsDecodingError");
        const auto row = [](const char *tag, const char *json, const char *expected, bool logs = false) {
            QTest::newRow(tag) << vmessUri(json) << QString::fromUtf8(expected) << logs;
        };
        const char *ok = "N | vmess h:443 i tls=false alter= auto";
        const char *okTls = "N | vmess h:443 i tls=true alter= auto";
        const char *bad = "error: Invalid format";
        row("classic text port",
            R"({"v":"2","ps":"N","add":"h","port":"443","id":"i","aid":0,"net":"ws","type":"none","tls":"tls"})",
            okTls);
        row("number port", R"({"ps":"N","add":"h","port":443,"id":"i"})", ok);
        row("text aid", R"({"ps":"N","add":"h","port":"443","id":"i","aid":"0"})", ok);
        row("empty aid", R"({"ps":"N","add":"h","port":"443","id":"i","aid":""})", ok);
        row("TLS upper", R"({"ps":"N","add":"h","port":"443","id":"i","tls":"TLS"})", okTls);
        row("tls none", R"({"ps":"N","add":"h","port":"443","id":"i","tls":"none"})", ok);
        row("empty ps", R"({"ps":"","add":"h","port":"443","id":"i"})", "h | vmess h:443 i tls=false alter= auto");
        row("empty port text", R"({"ps":"N","add":"h","port":"","id":"i"})", bad);
        row("unparsable port text", R"({"ps":"N","add":"h","port":"443a","id":"i"})", bad);
        row("port 0", R"({"ps":"N","add":"h","port":0,"id":"i"})", bad);
        row("port 65535 text", R"({"ps":"N","add":"h","port":"65535","id":"i"})",
            "N | vmess h:65535 i tls=false alter= auto");
        row("port 65536 text", R"({"ps":"N","add":"h","port":"65536","id":"i"})", bad);
        row("port 99999", R"({"ps":"N","add":"h","port":99999,"id":"i"})", bad);
        row("port -1", R"({"ps":"N","add":"h","port":-1,"id":"i"})", bad);
        row("port 2^63-1", R"({"ps":"N","add":"h","port":"9223372036854775807","id":"i"})", bad);
        row("whole port as float", R"({"ps":"N","add":"h","port":443.0,"id":"i","aid":0.0})", ok);
        row("port with exponent", R"({"ps":"N","add":"h","port":4.43e2,"id":"i","aid":"0"})", ok);
        row("fractional aid", R"({"ps":"N","add":"h","port":"443","id":"i","aid":0.5})", bad, true);
        row("blanks around address", R"({"ps":"N","add":" h\t","port":"443","id":"i"})", ok);
        row("blank address", R"({"ps":"N","add":"  ","port":"443","id":"i"})", bad);
        row("nested value", R"({"ps":"N","add":"h","port":"443","id":"i","x":{"y":[1]}})", ok);
        row("nested deeper than a record", R"({"ps":"N","add":"h","port":"443","id":"i","x":[[[1]]]})", bad, true);
        row("empty address", R"({"ps":"N","add":"","port":"443","id":"i"})", bad);
        row("empty id", R"({"ps":"N","add":"h","port":"443","id":""})", bad);
        row("aid not decimal", R"({"ps":"N","add":"h","port":"443","id":"i","aid":"x"})", bad, true);
        row("fractional port", R"({"ps":"N","add":"h","port":443.5,"id":"i"})", bad, true);
        row("null port", R"({"ps":"N","add":"h","port":null,"id":"i"})", bad, true);
        row("null aid", R"({"ps":"N","add":"h","port":"443","id":"i","aid":null})", bad, true);
        row("boolean tls", R"({"ps":"N","add":"h","port":"443","id":"i","tls":true})", bad, true);
        row("number net", R"({"ps":"N","add":"h","port":"443","id":"i","net":1})", bad, true);
        row("missing ps", R"({"add":"h","port":"443","id":"i"})", bad, true);
        row("missing id", R"({"ps":"N","add":"h","port":"443"})", bad, true);
        row("array", R"([1,2])", bad, true);
        row("not json", "ps=N", bad, true);
        // Base64 of a record whose "/" would otherwise end the host.
        QTest::newRow("slash in payload")
            << QStringLiteral(
                   "vmess://eyJwcyI6Ik5vZGUgPz8/IiwiYWRkIjoidm0uZXhhbXBsZS5jb20iLCJwb3J0IjoiNDQzIiwiaWQiOiJiODMx"
                   "MzgxZC02MzI0LTRkNTMtYWQ0Zi04Y2RhNDhiMzA4MTEiLCJ0bHMiOiJ0bHMifQ")
            << QStringLiteral("Node ??? | vmess vm.example.com:443 b831381d-6324-4d53-ad4f-8cda48b30811 tls=true "
                              "alter= auto")
            << false;
        const QByteArray urlSafe(R"({"ps":"a>?~~","add":"h","port":"443","id":"i"})");
        const QString urlSafeServer = QStringLiteral("a>?~~ | vmess h:443 i tls=false alter= auto");
        QTest::newRow("url-safe padded") << vmessUri(urlSafe, QByteArray::Base64UrlEncoding) << urlSafeServer << false;
        QTest::newRow("url-safe unpadded")
            << vmessUri(urlSafe, QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) << urlSafeServer
            << false;
        QTest::newRow("not base64") << QStringLiteral("vmess://a!b") << invalid << false;
        QTest::newRow("no host") << QStringLiteral("vmess:abc") << invalid << false;
        // Deep nesting must neither overflow the stack nor take long.
        QTest::newRow("deep nesting") << vmessUri(QByteArray(40000, '[')) << invalid << true;
        QTest::newRow("deep nesting in a record") << vmessUri(R"({"ps":")" + QByteArray(40000, 'N')
            + R"(","add":"h","port":"443","id":"i","x":)" + QByteArray(510, '[') + '1' + QByteArray(510, ']') + '}')
                                                  << invalid << true;
    }

    void vmess()
    {
        QFETCH(bool, logsDecodingError);
        if (logsDecodingError)
            QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Error decoding JSON: .+")));
        compareOutcome();
    }

    void vless_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        QTest::newRow("defaults") << QStringLiteral("vless://uuid@example.com:443")
                                  << QStringLiteral("example.com | vless example.com:443 uuid flow= enc=none sec=none "
                                                    "sni= fp= pbk= sid= spx=");
        QTest::newRow("reality") << QStringLiteral("vless://uuid@1.2.3.4:443?type=tcp&encryption=none&flow=xtls-rprx-"
                                                   "vision&security=reality&sni=www.example.com&fp=chrome&pbk=Kx_9&sid="
                                                   "ab12&spx=%2Fpath#R")
                                 << QStringLiteral("R | vless 1.2.3.4:443 uuid flow=xtls-rprx-vision enc=none "
                                                   "sec=reality sni=www.example.com fp=chrome pbk=Kx_9 sid=ab12 "
                                                   "spx=/path");
        QTest::newRow("first wins, case-sensitive, plus kept")
            << QStringLiteral("vless://uuid@h:1?sni=a+b&sni=c&SNI=d&Security=tls&security=&encryption")
            << QStringLiteral("h | vless h:1 uuid flow= enc=none sec=none sni=a+b fp= pbk= sid= spx=");
        QTest::newRow("port 0") << QStringLiteral("vless://%75id:x@[::1]:0")
                                << QStringLiteral("::1 | vless ::1:0 uid flow= enc=none sec=none sni= fp= pbk= sid= "
                                                  "spx=");
        QTest::newRow("port 65535") << QStringLiteral("vless://u@127.0.0.1:65535")
                                    << QStringLiteral(
                                           "127.0.0.1 | vless 127.0.0.1:65535 u flow= enc=none sec=none sni= "
                                           "fp= pbk= sid= spx=");
        QTest::newRow("port 99999") << QStringLiteral("vless://u@127.0.0.1:99999") << invalid;
        QTest::newRow("port 2^63-1") << QStringLiteral("vless://u@127.0.0.1:9223372036854775807") << invalid;
        QTest::newRow("no port") << QStringLiteral("vless://uuid@example.com") << invalid;
        QTest::newRow("empty port") << QStringLiteral("vless://uuid@example.com:") << invalid;
        QTest::newRow("no user") << QStringLiteral("vless://example.com:443") << invalid;
        QTest::newRow("empty user") << QStringLiteral("vless://:pw@example.com:443") << invalid;
        QTest::newRow("user not utf-8") << QStringLiteral("vless://%FF@example.com:443") << invalid;
        QTest::newRow("empty host") << QStringLiteral("vless://uuid@:443") << invalid;
    }

    void vless() { compareOutcome(); }

    void robustness_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        // Links up to 64 KiB are read; every space is escaped for the URI parser and decoded again.
        const QString head = QStringLiteral("vless://u@h:1#");
        const QString spaces((64 << 10) - head.size(), u' ');
        QTest::newRow("64 KiB fragment of spaces") << head
                + spaces << spaces + QStringLiteral(" | vless h:1 u flow= enc=none sec=none sni= fp= pbk= sid= spx=");
        QTest::newRow("one character more") << head + spaces + u' ' << invalid;
        QTest::newRow("1 MB host") << QStringLiteral("vless://u@") + QString(1 << 20, u'a') + QStringLiteral(":1#n")
                                   << invalid;
        QTest::newRow("1 MB query") << QStringLiteral("vless://u@h:1?") + QString(1 << 20, u'&') << invalid;
        QTest::newRow("1 MB vmess payload")
            << vmessUri(R"({"ps":")" + QByteArray(700000, 'x') + R"(","add":"a","port":"1","id":"i"})") << invalid;
        QTest::newRow("1 MB port") << QStringLiteral("vless://u@h:") + QString(1 << 20, u'1') << invalid;
        QTest::newRow("nul before fragment") << QStringLiteral("vless://u@h:1") + QChar(0) << invalid;
        QTest::newRow("nul in fragment") << QStringLiteral("vless://u@h:1#a") + QChar(0) << invalid;
        QTest::newRow("cr in fragment") << QStringLiteral("vless://u@h:1#a\rvless://u@h:2#b") << invalid;
        QTest::newRow("tab in fragment") << QStringLiteral("ss://m:p@h:1#a\tb") << invalid;
        QTest::newRow("del in fragment") << QStringLiteral("vless://u@h:1#a\x7F") << invalid;
        QTest::newRow("replacement character") << QStringLiteral("vless://u@h:1") + QChar(0xFFFD) << invalid;
        QTest::newRow("lone surrogate in fragment") << QStringLiteral("ss://aes-128-gcm:p@h:1#") + QChar(0xD800)
                                                    << QChar(0xD800) + QStringLiteral(" | ss h:1 aes128Gcm p");
    }

    void robustness() { compareOutcome(); }

private:
    void compareOutcome()
    {
        QFETCH(QString, uri);
        QFETCH(QString, expected);
        QCOMPARE(outcome(uri), expected);
    }
};

WRENLOW_TEST(ProxyUriParserTest)
#include "tst_proxyuriparser.moc"
