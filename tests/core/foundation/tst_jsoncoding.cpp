#include "core/foundation/jsoncoding.h"
#include "testregistry.h"

#include <QTest>

#include <functional>

Q_DECLARE_METATYPE(std::function<void(const Json &)>)

class JsonCodingTest final : public QObject {
    Q_OBJECT

    using Reader = std::function<void(const Json &)>;

    static bool decodes(const Reader &reader, const Json &value)
    {
        try {
            reader(value);
            return true;
        } catch (const DecodingError &) {
            return false;
        }
    }

private Q_SLOTS:
    // Stored values must have exactly the JSON type their reader expects.
    void strictTypes_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<Reader>("reader");
        QTest::addColumn<bool>("accepted");

        const Reader int64 = [](const Json &v) { json::toInt64(v); };
        const Reader text = [](const Json &v) { json::toString(v); };
        const Reader boolean = [](const Json &v) { json::toBool(v); };
        QTest::newRow("int") << QByteArray("443") << int64 << true;
        QTest::newRow("negative int") << QByteArray("-1") << int64 << true;
        QTest::newRow("int64 max") << QByteArray("9223372036854775807") << int64 << true;
        QTest::newRow("beyond int64") << QByteArray("9223372036854775808") << int64 << false;
        QTest::newRow("int as text") << QByteArray("\"443\"") << int64 << false;
        QTest::newRow("whole number as float") << QByteArray("443.0") << int64 << true;
        QTest::newRow("whole number with exponent") << QByteArray("4.43e2") << int64 << true;
        QTest::newRow("exact float near -2^53") << QByteArray("-9007199254740991.0") << int64 << true;
        QTest::newRow("float beyond exact") << QByteArray("9007199254740993.0") << int64 << false;
        QTest::newRow("fraction") << QByteArray("443.5") << int64 << false;
        QTest::newRow("float beyond int64") << QByteArray("9223372036854775808.0") << int64 << false;
        QTest::newRow("int as bool") << QByteArray("true") << int64 << false;
        QTest::newRow("text") << QByteArray("\"a\"") << text << true;
        QTest::newRow("text as number") << QByteArray("1") << text << false;
        QTest::newRow("text as null") << QByteArray("null") << text << false;
        QTest::newRow("bool") << QByteArray("false") << boolean << true;
        QTest::newRow("bool as int") << QByteArray("0") << boolean << false;
    }

    void strictTypes()
    {
        QFETCH(QByteArray, document);
        QFETCH(Reader, reader);
        QFETCH(bool, accepted);
        QCOMPARE(decodes(reader, json::parse(document)), accepted);
    }

    void uuids_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("upper") << QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F") << true;
        QTest::newRow("lower") << QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f") << true;
        QTest::newRow("braces") << QStringLiteral("{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}") << false;
        QTest::newRow("short") << QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5") << false;
        QTest::newRow("hyphen moved") << QStringLiteral("E621E1F8C-36C-495A-93FC-0C247A3E6E5F") << false;
        QTest::newRow("not hex") << QStringLiteral("G621E1F8-C36C-495A-93FC-0C247A3E6E5F") << false;
        QTest::newRow("empty") << QString() << false;
    }

    void uuids()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const Json value = json::fromString(text);
        QCOMPARE(decodes([](const Json &v) { json::toUuid(v); }, value), accepted);
        if (accepted)
            QCOMPARE(json::toString(json::fromUuid(json::toUuid(value))), text.toUpper());
    }

    void dates_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QDateTime>("expected");
        const auto utc = [](int y, int mo, int d, int h, int mi, int s, int ms) {
            return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
        };
        QTest::newRow("reference date") << QByteArray("0") << utc(2001, 1, 1, 0, 0, 0, 0);
        QTest::newRow("fraction") << QByteArray("86400.25") << utc(2001, 1, 2, 0, 0, 0, 250);
        QTest::newRow("before reference") << QByteArray("-1.5") << utc(2000, 12, 31, 23, 59, 58, 500);
        QTest::newRow("recent") << QByteArray("786700800") << utc(2025, 12, 6, 8, 0, 0, 0);
    }

    void dates()
    {
        QFETCH(QByteArray, document);
        QFETCH(QDateTime, expected);
        const QDateTime date = json::toDate(json::parse(document));
        QCOMPARE(date, expected);
        QCOMPARE(json::fromDate(date).get<double>(), json::parse(document).get<double>());
    }

    void unusableDatesFail_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::newRow("huge") << QByteArray("1e300");
        QTest::newRow("text") << QByteArray("\"786700800\"");
    }

    void unusableDatesFail()
    {
        QFETCH(QByteArray, document);
        QVERIFY(!decodes([](const Json &v) { json::toDate(v); }, json::parse(document)));
    }

    void oneKeyEnumerations_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("found");
        QTest::newRow("one case") << QByteArray(R"({"a":{}})") << QStringLiteral("a");
        QTest::newRow("other keys ignored") << QByteArray(R"({"x":1,"b":{}})") << QStringLiteral("b");
        QTest::newRow("both cases") << QByteArray(R"({"a":{},"b":{}})") << QString();
        QTest::newRow("no case") << QByteArray(R"({"x":{}})") << QString();
        QTest::newRow("empty") << QByteArray("{}") << QString();
    }

    void oneKeyEnumerations()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, found);
        try {
            const auto name = json::oneKey(json::parse(document), { "a", "b" });
            QCOMPARE(QString::fromUtf8(name.data(), qsizetype(name.size())), found);
        } catch (const DecodingError &e) {
            QVERIFY(found.isEmpty());
            QCOMPARE(e.description(), QStringLiteral("Invalid number of keys found, expected one."));
        }
    }

    // Messages reach the log: they say where, never what (a vmess:// record's user id, say).
    void malformedDocumentsThrow_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("fault");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("syntax error at byte 1");
        QTest::newRow("truncated") << QByteArray(R"({"a":[1,2)") << QStringLiteral("syntax error at byte 10");
        QTest::newRow("invalid utf8") << QByteArray("\"\xff\xfe\"") << QStringLiteral("syntax error at byte 2");
        QTest::newRow("nul byte") << QByteArray("{\"a\":\0}", 7) << QStringLiteral("NUL byte");
        QTest::newRow("number overflow") << QByteArray("1e400") << QStringLiteral("error 406");
        QTest::newRow("trailing garbage") << QByteArray("{} x") << QStringLiteral("syntax error at byte 4");
        QTest::newRow("secret before the fault")
            << QByteArray(R"({"id":"b831381d-6324-4d53-ad4f-8cda48b30811" "add":1})")
            << QStringLiteral("syntax error at byte 50");
    }

    void malformedDocumentsThrow()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, fault);
        try {
            json::parse(document);
            QFAIL("parsed");
        } catch (const DecodingError &e) {
            QCOMPARE(e.description(), QStringLiteral("The data is not valid JSON: ") + fault);
        }
    }

    // The parser copies object members recursively and stops at a NUL as if the text ended:
    // such input must be refused, not crash the program or be half read.
    void hostileDocuments_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("accepted");
        const auto nested = [](int depth) -> QByteArray {
            return "{\"a\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + ",\"b\":1,\"c\":2,\"d\":3}";
        };
        QTest::newRow("deep inside a growing object") << nested(100000) << false;
        QTest::newRow("moderate nesting") << nested(500) << true;
        QTest::newRow("brackets inside strings do not count") << "[\"" + QByteArray(5000, '[') + "\\\"\"]" << true;
        QTest::newRow("NUL after a document") << QByteArray("{}\0{\"x\":1}", 10) << false;
        QTest::newRow("NUL inside a string") << QByteArray("[\"a\0b\"]", 7) << false;
    }

    void hostileDocuments()
    {
        QFETCH(QByteArray, document);
        QFETCH(bool, accepted);
        bool parsed = true;
        try {
            json::parse(document);
        } catch (const DecodingError &) {
            parsed = false;
        }
        QCOMPARE(parsed, accepted);
    }
};

WRENLOW_TEST(JsonCodingTest)
#include "tst_jsoncoding.moc"
