#include "core/catalogue/serverjson.h"
#include "golden.h"
#include "testregistry.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class ServerJsonTest final : public QObject {
    Q_OBJECT

    static QByteArray encoded(const Server &server) { return json::serialize(encodeServer(server)); }

    static QString decodeFailure(const QByteArray &document)
    {
        try {
            decodeServer(json::parse(document));
        } catch (const DecodingError &e) {
            return e.description();
        }
        return {};
    }

    // What the clean-up must agree with; "." spelled out as "anything but a line break".
    static std::optional<QString> byRegex(const QString &name)
    {
        static const QRegularExpression pattern(QStringLiteral(
            "([^\\n\\x0B\\f\\r\\x{85}\\x{2028}\\x{2029}]+?)@([^\\n\\x0B\\f\\r\\x{85}\\x{2028}\\x{2029}]+?):([0-9]+)"));
        const auto match = pattern.match(name);
        if (!match.hasMatch())
            return std::nullopt;
        return match.captured(2);
    }

private Q_SLOTS:
    // The stored form is read by earlier and later versions of the program: keys and order are fixed.
    void roundTrip_data()
    {
        QTest::addColumn<ServerSettings>("settings");
        QTest::newRow("shadowsocks") << ServerSettings(
            ShadowsockSettings { u"1.2.3.4"_s, 8388, ShadowsocksCipher::chacha20Poly1305, u"pw"_s });
        QTest::newRow("vmess") << ServerSettings(VMessSettings { u"v.example"_s, 443, u"uid"_s, true, {}, u"auto"_s });
        QTest::newRow("vless") << ServerSettings(VLESSSettings { u"l.example"_s, 8443, u"u"_s, u"f"_s, u"none"_s,
            u"reality"_s, u"sni.example"_s, u"chrome"_s, u"pbk"_s, u"ab"_s, u"/x"_s });
    }

    void roundTrip()
    {
        QFETCH(ServerSettings, settings);
        const QUuid id = QUuid::fromString(u"e621e1f8-c36c-495a-93fc-0c247a3e6e5f"_s);
        Server server(id, u"Name \"1\""_s, u"orig"_s, settings, true);
        // Neither is stored (the golden form shows it): a restarted program knows neither.
        server.setStatus(OnlineStatus::online);
        server.setInProgress(true);
        const QString file = u"core/catalogue/golden/server-"_s + QString::fromLatin1(QTest::currentDataTag());
        QCOMPARE(encoded(server), golden(file, encodeServer(server)));

        const ServerPtr decoded = decodeServer(json::parse(golden(file)));
        QCOMPARE(encoded(*decoded), golden(file));
        QVERIFY(decoded->settings() == settings);
    }

    // Decoding keeps the stored name: the clean-up belongs to new servers.
    void decodingKeepsStoredName()
    {
        const ServerPtr server = decodeServer(json::parse(
            R"({"settings":{"vless":{"settings":{"address":"a","port":443,"userId":"u","flow":"",)"
            R"("encryption":"none","security":"none","sni":"","fingerprint":"","publicKey":"","shortId":"",)"
            R"("spiderX":""}}},"isInSubscription":false,"originalName":"o","name":"user@host:123",)"
            R"("id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","extra":[1]})"));
        QCOMPARE(server->name(), u"user@host:123"_s);
    }

    // Documents that must not decode, and the message each gives.
    void rejects_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("message");
        const Json table = goldenTable(u"core/catalogue/golden/server-rejects"_s);
        QVERIFY(!table.empty());
        for (const auto &[tag, row] : table.items())
            QTest::newRow(tag.c_str()) << QByteArray::fromStdString(row.at(0).dump()) << json::toString(row.at(1));
    }

    void rejects()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, message);
        QCOMPARE(decodeFailure(document), message);
    }

    void cipherNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("byName"); // -1: none
        QTest::addColumn<int>("byRawValue");
        using C = ShadowsocksCipher;
        QTest::newRow("raw chacha") << u"ChaCha20-Poly1305"_s << int(C::chacha20Poly1305) << int(C::chacha20Poly1305);
        QTest::newRow("lower aes-256") << u"aes-256-gcm"_s << int(C::aes256Gcm) << -1;
        QTest::newRow("ietf upper") << u"CHACHA20-IETF-POLY1305"_s << int(C::chacha20Poly1305) << -1;
        QTest::newRow("stream cipher") << u"aes-256-cfb"_s << -1 << -1;
    }

    void cipherNames()
    {
        QFETCH(QString, text);
        QFETCH(int, byName);
        QFETCH(int, byRawValue);
        const auto toInt = [](std::optional<ShadowsocksCipher> c) { return c ? int(*c) : -1; };
        QCOMPARE(toInt(cipherFromName(text)), byName);
        QCOMPARE(toInt(cipherFromRawValue(text)), byRawValue);
    }

    // Two servers are the same when their ids are, whatever else they hold.
    void identityIsTheId()
    {
        const ServerSettings settings = ShadowsockSettings { u"h"_s, 1, ShadowsocksCipher::aes128Gcm, u"p"_s };
        Server a(u"same"_s, settings, false);
        QVERIFY(!(a == Server(u"same"_s, settings, false)));
        const size_t hash = qHash(a);
        a.setName(u"renamed"_s);
        QCOMPARE(qHash(a), hash);
        QVERIFY(a == Server(a.id(), u"other"_s, QString(), VMessSettings {}, true));
    }

    // A save takes the stored fields and encodes them on another thread: a later change must
    // leave what it took alone.
    void takenRecordStaysAsTaken()
    {
        Server server(u"first"_s, ShadowsockSettings { u"h"_s, 1, ShadowsocksCipher::aes128Gcm, u"p"_s }, false);
        const auto taken = server.record();
        server.setName(u"second"_s);
        server.setSettings(VMessSettings {});
        QCOMPARE(taken->name, u"first"_s);
        QVERIFY(std::holds_alternative<ShadowsockSettings>(taken->settings));
        QCOMPARE(server.record()->name, u"second"_s);
        QVERIFY(std::holds_alternative<VMessSettings>(server.settings()));
        QCOMPARE(server.record()->id, taken->id);
    }

    // The linear scan must pick the same text as the pattern on any input.
    void agreesWithPatternOnRandomNames()
    {
        const QString alphabet = QStringLiteral("ab@:1\n\r.x");
        QRandomGenerator random(20261206);
        for (int round = 0; round < 20000; ++round) {
            QString name;
            const int length = random.bounded(0, 14);
            for (int i = 0; i < length; ++i)
                name.append(alphabet.at(random.bounded(alphabet.size())));
            const auto expected = byRegex(name);
            const auto actual = hostFromName(name);
            if (actual != expected)
                QFAIL(qPrintable(
                    QStringLiteral("differs for %1").arg(QString::fromLatin1(name.toUtf8().toPercentEncoding()))));
        }
    }

    // Names come from subscriptions; a long hostile one must not take quadratic time.
    void longNameIsLinear()
    {
        QString name;
        for (int i = 0; i < 200000; ++i)
            name.append(QStringLiteral("@:"));
        name.append(QStringLiteral("@x:1"));
        // the host runs from after the second "@" to the only ":" that a digit follows
        QCOMPARE(hostFromName(name), std::optional<QString>(name.mid(3, name.size() - 2 - 3)));
    }
};

WRENLOW_TEST(ServerJsonTest)
#include "tst_serverjson.moc"
