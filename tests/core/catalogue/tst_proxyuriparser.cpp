#include "core/catalogue/proxyuriparser.h"
#include "core/catalogue/uricomponents.h"
#include "testregistry.h"

#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString absent = u"<absent>"_s;
const QString invalid = u"error: Invalid format"_s;
const QString unsupported = u"error: Unsupported protocol"_s;

// One line per server, so that a row states every field it cares about in one comparison.
struct Summary {
    QString operator()(const ShadowsockSettings &s) const
    {
        return u"ss %1:%2 %3 %4"_s.arg(s.address).arg(s.port).arg(caseName(s.cipher), s.password);
    }
    QString operator()(const VMessSettings &s) const
    {
        return u"vmess %1:%2 %3 tls=%4 alter=%5 %6"_s.arg(s.address).arg(s.port).arg(s.userId).arg(
            s.tls ? u"true"_s : u"false"_s, s.userAlterId, s.security);
    }
    QString operator()(const VLESSSettings &s) const
    {
        return u"vless %1:%2 %3 flow=%4 enc=%5 sec=%6 sni=%7 fp=%8 pbk=%9 sid=%10 spx=%11"_s.arg(s.address)
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
        return server->name() + u" | "_s + std::visit(Summary {}, server->settings());
    } catch (const ProxyURIParseError &error) {
        return u"error: "_s + error.description();
    }
}

QString vmessUri(const QByteArray &json, QByteArray::Base64Options options = QByteArray::Base64Encoding)
{
    return u"vmess://"_s + QString::fromLatin1(json.toBase64(options));
}

QString vlessServer(const QString &head)
{
    return head + u" flow= enc=none sec=none sni= fp= pbk= sid= spx="_s;
}

QString unsupportedCipher(const char *method)
{
    return u"error: Shadowsocks error: The cipher %1 is not supported"_s.arg(QLatin1String(method));
}

// Tags are named within the section the rows are written in.
const char *section = "";

void row(const char *tag, const QString &uri, const QString &expected, const QString &log = {})
{
    QTest::addRow("%s: %s", section, tag) << uri << expected << log;
}

} // namespace

class ProxyUriParserTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void uriComponents_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<int>("part");
        QTest::addColumn<QString>("expected"); // "raw|decoded"
        using P = UriComponents::Part;
        const auto add = [](const char *tag, const QString &uri, P part, const QString &expected) {
            QTest::newRow(tag) << uri << int(part) << expected;
        };
        add("user up to first colon", u"ss://u%3Ax:p%40w:z@h:1"_s, P::user, u"u%3Ax|u:x"_s);
        add("password after it", u"ss://u%3Ax:p%40w:z@h:1"_s, P::password, u"p%40w:z|p@w:z"_s);
        add("no user info", u"ss://h:1"_s, P::user, absent + u'|' + absent);
        add("fragment as written", u"ss://h#My%20Server 🇺🇸#2"_s, P::fragment, u"My%20Server 🇺🇸#2|My Server 🇺🇸#2"_s);
        add("stray percent in fragment", u"ss://h#100%"_s, P::fragment, u"100%|100%"_s);
        add("escaped nul", u"ss://h#a%00b"_s, P::fragment, u"a%00b|a"_s + QChar(0) + u'b');
    }

    void uriComponents()
    {
        QFETCH(QString, uri);
        QFETCH(int, part);
        QFETCH(QString, expected);
        const auto components = UriComponents::parse(uri);
        QVERIFY(components);
        const auto p = UriComponents::Part(part);
        QCOMPARE(components->raw(p).value_or(absent) + u'|' + components->decoded(p).value_or(absent), expected);
    }

    // Only the fragment of a vless link is decoded; a name like "user@host:port" shows the host.
    void names_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected"); // "name|originalName"
        const QString ss = u"ss://aes-128-gcm:pw@example.com:1#"_s;
        const QString vless = u"vless://id@example.com:1#"_s;
        QTest::newRow("ss keeps escapes") << ss + u"My%20Server"_s << u"My%20Server|My%20Server"_s;
        QTest::newRow("vless decodes") << vless + u"My%20Server"_s << u"My Server|My Server"_s;
        QTest::newRow("vless second hash") << vless + u"a#b"_s << u"a#b|a#b"_s;
        QTest::newRow("vless not utf-8") << vless + u"%FF"_s << u"example.com|example.com"_s;
        QTest::newRow("vless clean-up") << vless + u"aes:pw@node.example:8388"_s
                                        << u"node.example|aes:pw@node.example:8388"_s;
        QTest::newRow("ss clean-up keeps escapes") << ss + u"a%20b@n:1"_s << u"n|a%20b@n:1"_s;
        QTest::newRow("vmess clean-up") << vmessUri(R"({"ps":"u@node:443","add":"a","port":"1","id":"i"})")
                                        << u"node|u@node:443"_s;
    }

    void names()
    {
        QFETCH(QString, uri);
        QFETCH(QString, expected);
        const ServerPtr server = parseProxyURI(uri);
        QVERIFY(server->isInSubscription());
        QCOMPARE(server->name() + u'|' + server->originalName(), expected);
    }

    // The row's log is expected as information, or as an error when it starts with "!"; a log text
    // then starting with "^" is a pattern.
    void outcomes_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("log"); // a message the row makes, or empty
        section = "schemes";
        row("SS legacy", u"SS://YWVzLTI1Ni1nY206cGFzc0BleGFtcGxlLmNvbTo4Mzg4#N"_s,
            u"N | ss example.com:8388 aes256Gcm pass"_s);
        row("http", u"http://example.com/"_s, unsupported);
        row("space outside fragment", u"vless://id@h:1/a b"_s, invalid);
        row("non-ascii host", u"vless://id@hóst:1"_s, invalid);
        row("colon in first segment", u"1ss://h"_s, invalid);
        row("port beyond 64 bits", u"vless://id@h:99999999999999999999"_s, invalid);
        section = "ss legacy";
        const QString count = u"!Shadowsocks: Invalid components count"_s;
        const QString port = u"!Shadowsocks: Invalid port number"_s;
        row("padded with name", u"ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo2NTUzNQ==#Name"_s,
            u"Name | ss example.com:65535 aes128Gcm pass"_s);
        row("blanks around host", u"ss://YWVzLTEyOC1nY206cGFzc0AgZXhhbXBsZS5jb20gOjgzODg="_s,
            u"example.com | ss example.com:8388 aes128Gcm pass"_s);
        row("colon in password", u"ss://YWVzLTEyOC1nY206cGE6c3NAZXhhbXBsZS5jb206ODM4OA=="_s,
            u"example.com | ss example.com:8388 aes128Gcm pa:ss"_s);
        row("colons and ats, ipv6", u"ss://YWVzLTEyOC1nY206cEBhOnNAc0BbMjAwMTpkYjg6OjFdOjQ0Mw=="_s,
            u"2001:db8::1 | ss 2001:db8::1:443 aes128Gcm p@a:s@s"_s);
        row("ipv6 without brackets", u"ss://YWVzLTEyOC1nY206cGFzc0A6OjE6ODM4OA=="_s, invalid, count);
        row("colon in password, port 99999", u"ss://YWVzLTEyOC1nY206cGE6c3NAWzo6MV06OTk5OTk="_s, invalid, count);
        row("port 0", u"ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTow"_s, invalid, port);
        row("port 65536", u"ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo2NTUzNg=="_s, invalid, port);
        row("port not decimal", u"ss://YWVzLTEyOC1nY206cGFzc0BleGFtcGxlLmNvbTo4MGE="_s, invalid, port);
        // Both faults: the port is checked before the "@" split.
        row("no at and port 0", u"ss://YWVzLTEyOC1nY206cGFzc2V4YW1wbGUuY29tOjA="_s, invalid, port);
        // "aG9zdA" is base64 of "host": taken for the legacy form, so the plain form is never tried.
        row("host that is base64 text", u"ss://aes-256-gcm:secret@aG9zdA:8388"_s, invalid, count);
        section = "ss plain";
        const QString cannot = u"Cannot parse Shadowsocks URI"_s;
        row("plain", u"ss://aes-256-gcm:secret@aG9zdA.com:8388#Home"_s,
            u"Home | ss aG9zdA.com:8388 aes256Gcm secret"_s);
        row("escaped password", u"ss://aes-128-gcm:p%40ss%3Aw%2B@example.com:1"_s,
            u"example.com | ss example.com:1 aes128Gcm p@ss:w+"_s);
        row("ipv6", u"ss://aes-128-gcm:pw@[2001:db8::1]:65535"_s, u"2001:db8::1 | ss 2001:db8::1:65535 aes128Gcm pw"_s);
        row("unknown cipher", u"ss://rc4-md5:pw@[2001:db8::1]:8388"_s, unsupportedCipher("rc4-md5"));
        row("sip002 standard padded", u"ss://YWVzLTI1Ni1nY206YWE+YQ==@example.com:8388#T"_s,
            u"T | ss example.com:8388 aes256Gcm aa>a"_s);
        row("sip002 url-safe unpadded", u"ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTo_YQ@example.com:8388"_s,
            u"example.com | ss example.com:8388 chacha20Poly1305 ?a"_s);
        row("sip002 escaped padding, slash, empty plugin", u"ss://YWVzLTI1Ni1nY206cGE6c3M%3D@example.com:1/?plugin="_s,
            u"example.com | ss example.com:1 aes256Gcm pa:ss"_s);
        row("sip002 plugin with options",
            u"ss://YWVzLTI1Ni1nY206cGE6c3M%3D@example.com:1/?plugin=obfs-local%3Bobfs%3Dhttp#N"_s,
            u"error: Shadowsocks error: The plugin obfs-local is not supported"_s);
        row("sip002 without colon", u"ss://bm9jb2xvbmhlcmU=@example.com:1"_s, invalid, cannot);
        row("port 0", u"ss://aes-128-gcm:pw@example.com:0"_s, invalid, cannot);
        row("port 65536", u"ss://aes-256-gcm:pass@h.example.com:65536"_s, invalid, cannot);
        row("empty method", u"ss://:pw@example.com:1"_s, invalid, cannot);
        section = "vmess";
        const QString logged = u"^Error decoding JSON: .+"_s;
        const auto add = [&](const char *tag, const char *json, const QString &expected, bool logs = false) {
            row(tag, vmessUri(json), expected, logs ? logged : QString());
        };
        const QString ok = u"N | vmess h:443 i tls=false alter= auto"_s;
        const QString okTls = u"N | vmess h:443 i tls=true alter= auto"_s;
        add("classic text port",
            R"({"v":"2","ps":"N","add":"h","port":"443","id":"i","aid":0,"net":"ws","type":"none","tls":"tls"})",
            okTls);
        add("number port", R"({"ps":"N","add":"h","port":443,"id":"i"})", ok);
        add("empty aid", R"({"ps":"N","add":"h","port":"443","id":"i","aid":""})", ok);
        add("TLS upper", R"({"ps":"N","add":"h","port":"443","id":"i","tls":"TLS"})", okTls);
        add("unparsable port text", R"({"ps":"N","add":"h","port":"443a","id":"i"})", invalid);
        add("port 0", R"({"ps":"N","add":"h","port":0,"id":"i"})", invalid);
        add("port 65535 text", R"({"ps":"N","add":"h","port":"65535","id":"i"})",
            u"N | vmess h:65535 i tls=false alter= auto"_s);
        add("port 65536 text", R"({"ps":"N","add":"h","port":"65536","id":"i"})", invalid);
        // Whole numbers written as floats are read, up to 2^53.
        add("whole port as float", R"({"ps":"N","add":"h","port":443.0,"id":"i","aid":0.0})", ok);
        add("fractional aid", R"({"ps":"N","add":"h","port":"443","id":"i","aid":0.5})", invalid, true);
        add("blanks around address", R"({"ps":"N","add":" h\t","port":"443","id":"i"})", ok);
        add("blank address", R"({"ps":"N","add":"  ","port":"443","id":"i"})", invalid);
        add("nested value", R"({"ps":"N","add":"h","port":"443","id":"i","x":{"y":[1]}})", ok);
        add("nested deeper than a record", R"({"ps":"N","add":"h","port":"443","id":"i","x":[[[1]]]})", invalid, true);
        add("empty id", R"({"ps":"N","add":"h","port":"443","id":""})", invalid);
        add("aid not decimal", R"({"ps":"N","add":"h","port":"443","id":"i","aid":"x"})", invalid, true);
        add("null aid", R"({"ps":"N","add":"h","port":"443","id":"i","aid":null})", invalid, true);
        add("number net", R"({"ps":"N","add":"h","port":"443","id":"i","net":1})", invalid, true);
        add("null port", R"({"ps":"N","add":"h","port":null,"id":"i"})", invalid, true);
        add("boolean tls", R"({"ps":"N","add":"h","port":"443","id":"i","tls":true})", invalid, true);
        add("missing id", R"({"ps":"N","add":"h","port":"443"})", invalid, true);
        add("not json", "ps=N", invalid, true);
        // Base64 of a record whose "/" would otherwise end the host.
        row("slash in payload",
            u"vmess://eyJwcyI6Ik5vZGUgPz8/IiwiYWRkIjoidm0uZXhhbXBsZS5jb20iLCJwb3J0IjoiNDQzIiwiaWQiOiJiODMx"
            u"MzgxZC02MzI0LTRkNTMtYWQ0Zi04Y2RhNDhiMzA4MTEiLCJ0bHMiOiJ0bHMifQ"_s,
            u"Node ??? | vmess vm.example.com:443 b831381d-6324-4d53-ad4f-8cda48b30811 tls=true alter= auto"_s);
        const QByteArray urlSafe(R"({"ps":"a>?~~","add":"h","port":"443","id":"i"})");
        const QString urlSafeServer = u"a>?~~ | vmess h:443 i tls=false alter= auto"_s;
        row("url-safe unpadded", vmessUri(urlSafe, QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals),
            urlSafeServer);
        row("not base64", u"vmess://a!b"_s, invalid);
        row("no host", u"vmess:abc"_s, invalid);
        // Deep nesting must neither overflow the stack nor take long.
        row("deep nesting", vmessUri(QByteArray(40000, '[')), invalid, logged);
        row("deep nesting in a record",
            vmessUri(R"({"ps":")" + QByteArray(40000, 'N') + R"(","add":"h","port":"443","id":"i","x":)"
                + QByteArray(510, '[') + '1' + QByteArray(510, ']') + '}'),
            invalid, logged);
        section = "vless";
        row("defaults", u"vless://uuid@example.com:443"_s, vlessServer(u"example.com | vless example.com:443 uuid"_s));
        row("reality",
            u"vless://uuid@1.2.3.4:443?type=tcp&encryption=none&flow=xtls-rprx-vision&security=reality"
            u"&sni=www.example.com&fp=chrome&pbk=Kx_9&sid=ab12&spx=%2Fpath#R"_s,
            u"R | vless 1.2.3.4:443 uuid flow=xtls-rprx-vision enc=none sec=reality sni=www.example.com fp=chrome "
            u"pbk=Kx_9 sid=ab12 spx=/path"_s);
        row("first wins, case-sensitive, plus kept",
            u"vless://uuid@h:1?sni=a+b&sni=c&SNI=d&Security=tls&security=&encryption"_s,
            u"h | vless h:1 uuid flow= enc=none sec=none sni=a+b fp= pbk= sid= spx="_s);
        row("port 0", u"vless://%75id:x@[::1]:0"_s, vlessServer(u"::1 | vless ::1:0 uid"_s));
        row("port 65535", u"vless://u@127.0.0.1:65535"_s, vlessServer(u"127.0.0.1 | vless 127.0.0.1:65535 u"_s));
        row("port 99999", u"vless://u@127.0.0.1:99999"_s, invalid);
        row("no port", u"vless://uuid@example.com"_s, invalid);
        row("empty user", u"vless://:pw@example.com:443"_s, invalid);
        row("empty host", u"vless://uuid@:443"_s, invalid);
        section = "robustness";
        // Links up to 64 KiB are read; every space is escaped for the URI parser and decoded again.
        const QString head = u"vless://u@h:1#"_s;
        const QString spaces((64 << 10) - head.size(), u' ');
        row("64 KiB fragment of spaces", head + spaces, vlessServer(spaces + u" | vless h:1 u"_s));
        row("one character more", head + spaces + u' ', invalid);
        row("nul before fragment", u"vless://u@h:1"_s + QChar(0), invalid);
        row("cr in fragment", u"vless://u@h:1#a\rvless://u@h:2#b"_s, invalid);
        row("lone surrogate in fragment", u"ss://aes-128-gcm:p@h:1#"_s + QChar(0xD800),
            QChar(0xD800) + u" | ss h:1 aes128Gcm p"_s);
    }

    void outcomes()
    {
        QFETCH(QString, uri);
        QFETCH(QString, expected);
        QFETCH(QString, log);
        const QtMsgType level = log.startsWith(u'!') ? QtCriticalMsg : QtInfoMsg;
        log.remove(0, level == QtCriticalMsg ? 1 : 0);
        if (log.startsWith(u'^'))
            QTest::ignoreMessage(level, QRegularExpression(log));
        else if (!log.isEmpty())
            QTest::ignoreMessage(level, log.toUtf8().constData());
        QCOMPARE(outcome(uri), expected);
    }
};

WRENLOW_TEST(ProxyUriParserTest)
#include "tst_proxyuriparser.moc"
