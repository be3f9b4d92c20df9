#include "core/foundation/jsoncoding.h"
#include "testregistry.h"

#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

using Reader = std::function<void(const QByteArray &)>;
Q_DECLARE_METATYPE(Reader)

class JsonCodingTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Stored values must have exactly the JSON type their reader expects, and hostile documents
    // (deep nesting copied recursively, a NUL the parser would take for the end) are refused.
    void accepts_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<Reader>("reader");
        QTest::addColumn<bool>("accepted");
        const Reader int64 = [](const QByteArray &d) { json::toInt64(json::parse(d)); };
        const Reader text = [](const QByteArray &d) { json::toString(json::parse(d)); };
        const Reader boolean = [](const QByteArray &d) { json::toBool(json::parse(d)); };
        const Reader uuid = [](const QByteArray &d) { json::toUuid(json::parse(d)); };
        const Reader date = [](const QByteArray &d) { json::toDate(json::parse(d)); };
        const Reader parse = [](const QByteArray &d) { json::parse(d); };
        const auto add = [](const char *tag, const QByteArray &document, const Reader &reader, bool accepted) {
            QTest::newRow(tag) << document << reader << accepted;
        };
        add("int64 max", "9223372036854775807", int64, true);
        add("beyond int64", "9223372036854775808", int64, false);
        add("int as text", "\"443\"", int64, false);
        add("whole number as float", "443.0", int64, true);
        add("whole number with exponent", "4.43e2", int64, true);
        add("exact float near -2^53", "-9007199254740991.0", int64, true);
        add("float beyond exact", "9007199254740993.0", int64, false);
        add("fraction", "443.5", int64, false);
        add("float beyond int64", "9223372036854775808.0", int64, false);
        add("text as number", "1", text, false);
        add("bool as int", "0", boolean, false);
        add("uuid lower", "\"e621e1f8-c36c-495a-93fc-0c247a3e6e5f\"", uuid, true);
        add("uuid in braces", "\"{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}\"", uuid, false);
        add("uuid hyphen moved", "\"E621E1F8C-36C-495A-93FC-0C247A3E6E5F\"", uuid, false);
        add("uuid not hex", "\"G621E1F8-C36C-495A-93FC-0C247A3E6E5F\"", uuid, false);
        add("huge date", "1e300", date, false);
        add("date as text", "\"786700800\"", date, false);
        const auto nested = [](int depth) -> QByteArray {
            return "{\"a\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + ",\"b\":1,\"c\":2,\"d\":3}";
        };
        add("deep inside a growing object", nested(100000), parse, false);
        add("moderate nesting", nested(500), parse, true);
        add("NUL after a document", QByteArray("{}\0{\"x\":1}", 10), parse, false);
        add("NUL inside a string", QByteArray("[\"a\0b\"]", 7), parse, false);
    }

    void accepts()
    {
        QFETCH(QByteArray, document);
        QFETCH(Reader, reader);
        QFETCH(bool, accepted);
        bool decoded = true;
        try {
            reader(document);
        } catch (const DecodingError &) {
            decoded = false;
        }
        QCOMPARE(decoded, accepted);
    }

    // Parsing keeps the members' order, nested values and every JSON type as written; a repeated key
    // keeps its first place and takes the last value.
    void parsesAsWritten()
    {
        const QByteArray document
            = R"({"z":[1,-2,3.5,true,null,"t",{}],"a":{"y":{"x":[]},"b":1},"z":"last","m":18446744073709551615})";
        QCOMPARE(json::serialize(json::parse(document)),
            QByteArray(R"({"z":"last","a":{"y":{"x":[]},"b":1},"m":18446744073709551615})"));
        QCOMPARE(
            json::serialize(json::parse(R"([{"k":[[1],[2,[3]]]},"s"])")), QByteArray(R"([{"k":[[1],[2,[3]]]},"s"])"));
    }

    // Messages reach the log: they say where, never what (a vmess:// record's user id, say).
    void malformedDocumentsThrow_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("fault");
        QTest::newRow("empty") << QByteArray() << u"syntax error at byte 1"_s;
        QTest::newRow("truncated") << QByteArray(R"({"a":[1,2)") << u"syntax error at byte 10"_s;
        QTest::newRow("invalid utf8") << QByteArray("\"\xff\xfe\"") << u"syntax error at byte 2"_s;
        QTest::newRow("nul byte") << QByteArray("{\"a\":\0}", 7) << u"NUL byte"_s;
        QTest::newRow("number overflow") << QByteArray("1e400") << u"error 406"_s;
        QTest::newRow("trailing garbage") << QByteArray("{} x") << u"syntax error at byte 4"_s;
        QTest::newRow("secret before the fault")
            << QByteArray(R"({"id":"b831381d-6324-4d53-ad4f-8cda48b30811" "add":1})") << u"syntax error at byte 50"_s;
    }

    void malformedDocumentsThrow()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, fault);
        try {
            json::parse(document);
            QFAIL("parsed");
        } catch (const DecodingError &e) {
            QCOMPARE(e.description(), u"The data is not valid JSON: "_s + fault);
        }
    }
};

WRENLOW_TEST(JsonCodingTest)
#include "tst_jsoncoding.moc"
