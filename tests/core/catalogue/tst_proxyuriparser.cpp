#include "core/catalogue/proxyuriparser.h"
#include "core/catalogue/uricomponents.h"
#include "golden.h"
#include "testregistry.h"

#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString absent = u"<absent>"_s;
const QString invalid = u"error: Invalid format"_s;

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

QString vmessUri(const QByteArray &record)
{
    return u"vmess://"_s + QString::fromLatin1(record.toBase64());
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
        const Json table = goldenTable(u"core/catalogue/golden/proxy-names"_s);
        QVERIFY(!table.empty());
        for (const auto &[tag, row] : table.items())
            QTest::newRow(tag.c_str()) << json::toString(row.at(0)) << json::toString(row.at(1));
    }

    void names()
    {
        QFETCH(QString, uri);
        QFETCH(QString, expected);
        const ServerPtr server = parseProxyURI(uri);
        QVERIFY(server->isInSubscription());
        QCOMPARE(server->name() + u'|' + server->originalName(), expected);
    }

    // Rows from a reviewed table, section by section; a "vmess records" row gives the link's record.
    // A row's log is expected as information, or as an error when it starts with "!"; a log text
    // then starting with "^" is a pattern.
    void outcomes_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("log"); // a message the row makes, or empty
        const Json table = goldenTable(u"core/catalogue/golden/proxy-uris"_s);
        QVERIFY(!table.empty());
        for (const auto &[section, rows] : table.items()) {
            for (const Json &row : rows) {
                const Json &uri = row.at(1);
                QTest::addRow("%s: %s", section.c_str(), row.at(0).get<std::string>().c_str())
                    << (section == "vmess records" ? vmessUri(
                            QByteArray::fromStdString(uri.is_string() ? uri.get<std::string>() : uri.dump()))
                                                   : json::toString(uri))
                    << json::toString(row.at(2)) << (row.size() > 3 ? json::toString(row.at(3)) : QString());
            }
        }
        const auto row = [](const char *tag, const QString &uri, const QString &expected, const QString &log = {}) {
            QTest::addRow("robustness: %s", tag) << uri << expected << log;
        };
        // Links up to 64 KiB are read; every space is escaped for the URI parser and decoded again.
        const QString head = u"vless://u@h:1#"_s;
        const QString spaces((64 << 10) - head.size(), u' ');
        row("64 KiB fragment of spaces", head + spaces,
            spaces + u" | vless h:1 u flow= enc=none sec=none sni= fp= pbk= sid= spx="_s);
        row("one character more", head + spaces + u' ', invalid);
        row("nul before fragment", u"vless://u@h:1"_s + QChar(0), invalid);
        row("lone surrogate in fragment", u"ss://aes-128-gcm:p@h:1#"_s + QChar(0xD800),
            QChar(0xD800) + u" | ss h:1 aes128Gcm p"_s);
        // Deep nesting must neither overflow the stack nor take long.
        const QString logged = u"^Error decoding JSON: .+"_s;
        row("deep nesting", vmessUri(QByteArray(40000, '[')), invalid, logged);
        row("deep nesting in a record",
            vmessUri(R"({"ps":")" + QByteArray(40000, 'N') + R"(","add":"h","port":"443","id":"i","x":)"
                + QByteArray(510, '[') + '1' + QByteArray(510, ']') + '}'),
            invalid, logged);
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
