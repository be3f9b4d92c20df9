#include "core/catalogue/base64.h"
#include "core/catalogue/proxyuriparser.h"
#include "testregistry.h"

#include <QTest>

namespace {

enum class Decoder { strict, strictPadded, lenient };

QString decodedHex(Decoder decoder, const QString &text)
{
    const std::optional<QByteArray> bytes = decoder == Decoder::strict ? base64::decodeStrict(text)
        : decoder == Decoder::strictPadded                             ? base64::decodeStrictPadded(text)
                                                                       : base64::decodeLenient(text);
    return bytes ? QString::fromLatin1(bytes->toHex()) : QStringLiteral("invalid");
}

template <typename Parse> QString outcome(Parse parse, const QString &text)
{
    try {
        QStringList names;
        for (const ServerPtr &server : parse(text))
            names.append(server->name());
        return names.join(u',');
    } catch (const Error &error) {
        return QStringLiteral("error: ") + error.description();
    }
}

QString base64Of(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

const QString noServers = QStringLiteral("error: No servers found in the provided subscription URL");
const QString threeLines = QStringLiteral("vless://u@h:1#a\nss://aes-128-gcm:pw@example.com:8388#b\nvless://u@h:2#c");

} // namespace

class SubscriptionParserTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void base64Decoding_data()
    {
        QTest::addColumn<int>("decoder");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *tag, Decoder decoder, const QString &text, const char *hex) {
            QTest::newRow(tag) << int(decoder) << text << QString::fromLatin1(hex);
        };
        using D = Decoder;
        row("strict full group", D::strict, QStringLiteral("YWJj"), "616263");
        row("strict two pads", D::strict, QStringLiteral("YQ=="), "61");
        row("strict empty", D::strict, QString(), "");
        row("strict both extra characters", D::strict, QStringLiteral("+/+/"), "fbffbf");
        row("strict missing pad", D::strict, QStringLiteral("YQ="), "invalid");
        row("strict three pads", D::strict, QStringLiteral("Y==="), "invalid");
        row("strict pad inside", D::strict, QStringLiteral("YQ==YQ=="), "invalid");
        row("strict url-safe", D::strict, QStringLiteral("-_-_"), "invalid");
        // U+0159 shares its low byte with "Y": no truncation to 8 bits.
        row("strict wide char", D::strict, QString(QChar(0x0159)) + QStringLiteral("WJj"), "invalid");
        row("padded two missing", D::strictPadded, QStringLiteral("YQ"), "61");
        row("padded one written one missing", D::strictPadded, QStringLiteral("YQ="), "61");
        row("padded too many", D::strictPadded, QStringLiteral("Y=="), "invalid");
        row("lenient url-safe unpadded", D::lenient, QStringLiteral("-_8"), "fbff");
        row("lenient standard padded", D::lenient, QStringLiteral("+/8="), "fbff");
        row("lenient incomplete padding", D::lenient, QStringLiteral("YQ="), "invalid");
        row("lenient lone character", D::lenient, QStringLiteral("YWJjZ"), "invalid");
        row("lenient other character", D::lenient, QStringLiteral("YW.j"), "invalid");
    }

    void base64Decoding()
    {
        QFETCH(int, decoder);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(decodedHex(Decoder(decoder), text), expected);
    }

    // The body check pads without copying; it must agree with padding first.
    void impliedPadding_data()
    {
        QTest::addColumn<QString>("text");
        for (const char *text :
            { "", "=", "Y", "YQ", "Y=", "YQ=", "YQ==", "YWJ", "YW=j", "YWJjZ", "YWJjZA=", "YWJjZA==" })
            QTest::newRow(text) << QString::fromLatin1(text);
    }

    void impliedPadding()
    {
        QFETCH(QString, text);
        QCOMPARE(decodedHex(Decoder::strictPadded, text), decodedHex(Decoder::strict, base64::padded(text)));
    }

    void text_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("logs");
        const QString invalid = QStringLiteral("Error parsing server: Invalid format");
        const QString unsupported = QStringLiteral("Error parsing server: Unsupported protocol");
        QTest::newRow("line feeds") << threeLines << QStringLiteral("a,b,c") << QStringList();
        QTest::newRow("crlf") << QString(threeLines).replace(u'\n', QStringLiteral("\r\n")) + QStringLiteral("\r\n")
                              << QStringLiteral("a,b,c") << QStringList();
        QTest::newRow("bad lines skipped")
            << QStringLiteral("vless://u@h:1#a\nhttp://example.com\nvless://u@h\nvless://u@h:1#b")
            << QStringLiteral("a,b") << QStringList { unsupported, invalid };
        QTest::newRow("lines not trimmed")
            << QStringLiteral(" vless://u@h:1#a\nvless://u@h:1#b ") << QStringLiteral("b ") << QStringList { invalid };
        QTest::newRow("only one cr goes with the lf")
            << QStringLiteral("vless://u@h:1\r\r\nvless://u@h:1#b") << QStringLiteral("b") << QStringList { invalid };
        QTest::newRow("cr alone ends no line")
            << QStringLiteral("vless://u@h:1\rvless://u@h:2") << noServers << QStringList { invalid };
        QTest::newRow("empty") << QString() << noServers << QStringList();
    }

    void text() { check(parseSubscriptionText); }

    void body_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("logs");
        const QString encoded = base64Of(threeLines);
        const QString abc = QStringLiteral("a,b,c");
        QTest::newRow("plain") << threeLines << abc << QStringList();
        QTest::newRow("base64") << encoded << abc << QStringList();
        QTest::newRow("base64 in white space")
            << QStringLiteral(" \t") + encoded + QStringLiteral("\r\n") << abc << QStringList();
        QTest::newRow("base64 unpadded") << base64Of(QStringLiteral("vless://u@h:1#ab")).remove(u'=')
                                         << QStringLiteral("ab") << QStringList();
        QString mime;
        for (qsizetype i = 0; i < encoded.size(); i += 76)
            mime += encoded.mid(i, 76) + QStringLiteral("\r\n");
        QTest::newRow("base64 wrapped at 76, crlf") << mime << abc << QStringList();
        // Only text: wrapped base64 of other bytes stays the plain text it is.
        QTest::newRow("wrapped base64 of non-utf-8") << QStringLiteral(
            "//7/\n/v7+") << noServers << QStringList(2, QStringLiteral("Error parsing server: Unsupported protocol"));
        QTest::newRow("plain keeps its white space")
            << QStringLiteral("\nvless://u@h:1#a\n ") << QStringLiteral("a")
            << QStringList { QStringLiteral("Error parsing server: Invalid format") };
        QTest::newRow("base64 of non-utf-8")
            << QStringLiteral("//79") << QStringLiteral("error: The subscription content could not be decoded.")
            << QStringList();
        QTest::newRow("white space only") << QStringLiteral(" \n ") << noServers << QStringList();
        // 50 MB of "A" is valid base64 of NUL bytes: decoded whole, then refused as one line.
        QTest::newRow("50 MB body") << QString(50 << 20, u'A') << noServers
                                    << QStringList { QStringLiteral("Error parsing server: Invalid format") };
        QString lines;
        QStringList names;
        for (int i = 0; i < 20000; ++i) {
            names.append(QString::number(i));
            lines += QStringLiteral("vless://u@h:1#") + names.last() + QStringLiteral("\r\n");
        }
        QTest::newRow("20000 base64 lines") << base64Of(lines) << names.join(u',') << QStringList();
    }

    void body() { check(parseSubscriptionBody); }

private:
    template <typename Parse> static void check(Parse parse)
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QFETCH(QStringList, logs);
        for (const QString &log : logs)
            QTest::ignoreMessage(QtCriticalMsg, log.toUtf8().constData());
        QCOMPARE(outcome(parse, text), expected);
    }
};

WRENLOW_TEST(SubscriptionParserTest)
#include "tst_subscriptionparser.moc"
