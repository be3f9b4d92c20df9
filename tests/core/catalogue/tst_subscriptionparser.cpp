#include "core/catalogue/base64.h"
#include "core/catalogue/proxyuriparser.h"
#include "golden.h"
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

const QString noServers = QStringLiteral("error: No servers found in the provided subscription URL");

} // namespace

class SubscriptionParserTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void base64Decoding_data()
    {
        QTest::addColumn<int>("decoder");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const Json table = goldenTable(u"core/catalogue/golden/base64"_s);
        QVERIFY(!table.empty());
        for (const auto &[decoder, rows] : table.items()) {
            for (const Json &row : rows) {
                const QString text = json::toString(row.at(0));
                QTest::addRow("%s %s", decoder.c_str(), qPrintable(text)) << int(decoder == "strict" ? Decoder::strict
                        : decoder == "strictPadded" ? Decoder::strictPadded
                                                    : Decoder::lenient) << text
                                                                          << json::toString(row.at(1));
            }
        }
        // U+0159 shares its low byte with "Y": no truncation to 8 bits.
        QTest::newRow("strict wide char")
            << int(Decoder::strict) << QString(QChar(0x0159)) + QStringLiteral("WJj") << QStringLiteral("invalid");
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

    // Rows from a reviewed table: the text, the servers' names or the error, then the lines logged.
    void text_data() { rows("text"); }

    void text() { check(parseSubscriptionText); }

    void body_data()
    {
        rows("body");
        // 50 MB of "A" is valid base64 of NUL bytes: decoded whole, then refused as one line.
        QTest::newRow("50 MB body") << QString(50 << 20, u'A') << noServers
                                    << QStringList { QStringLiteral("Error parsing server: Invalid format") };
        QString lines;
        QStringList names;
        for (int i = 0; i < 20000; ++i) {
            names.append(QString::number(i));
            lines += QStringLiteral("vless://u@h:1#") + names.last() + QStringLiteral("\r\n");
        }
        QTest::newRow("20000 base64 lines")
            << QString::fromLatin1(lines.toUtf8().toBase64()) << names.join(u',') << QStringList();
    }

    void body() { check(parseSubscriptionBody); }

private:
    static void rows(const char *section)
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("logs");
        const Json table = goldenTable(QStringLiteral("core/catalogue/golden/subscription-texts"));
        QVERIFY(table.contains(section));
        for (const auto &[tag, row] : table.at(section).items()) {
            QStringList texts;
            for (const Json &value : row)
                texts.append(json::toString(value));
            QTest::newRow(tag.c_str()) << texts.at(0) << texts.at(1) << texts.mid(2);
        }
    }

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
