#include "core/catalogue/serverjson.h"
#include "golden.h"
#include "testregistry.h"

#include <QTest>

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

private Q_SLOTS:
    // The stored form is read by earlier and later versions of the program: keys and order are fixed.
    void exactForm_data()
    {
        QTest::addColumn<ServerSettings>("settings");
        QTest::newRow("shadowsocks") << ServerSettings(ShadowsockSettings {
            QStringLiteral("1.2.3.4"), 8388, ShadowsocksCipher::chacha20Poly1305, QStringLiteral("pw") });
        QTest::newRow("vmess") << ServerSettings(VMessSettings {
            QStringLiteral("v.example"), 443, QStringLiteral("uid"), true, QString(), QStringLiteral("auto") });
        QTest::newRow("vless") << ServerSettings(VLESSSettings { QStringLiteral("l.example"), 8443, QStringLiteral("u"),
            QStringLiteral("f"), QStringLiteral("none"), QStringLiteral("reality"), QStringLiteral("sni.example"),
            QStringLiteral("chrome"), QStringLiteral("pbk"), QStringLiteral("ab"), QStringLiteral("/x") });
    }

    void exactForm()
    {
        QFETCH(ServerSettings, settings);
        const QUuid id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
        Server server(id, QStringLiteral("Name \"1\""), QStringLiteral("orig"), settings, true);
        server.setStatus(OnlineStatus::online);
        server.setInProgress(true);
        const QString file
            = QStringLiteral("core/catalogue/golden/server-") + QString::fromLatin1(QTest::currentDataTag());
        QCOMPARE(encoded(server), golden(file, encodeServer(server)));

        const ServerPtr decoded = decodeServer(json::parse(golden(file)));
        QCOMPARE(decoded->id(), id);
        QCOMPARE(decoded->name(), server.name());
        QCOMPARE(decoded->originalName(), server.originalName());
        QCOMPARE(decoded->isInSubscription(), true);
        QVERIFY(decoded->settings() == settings);
        QCOMPARE(decoded->status(), OnlineStatus::unknown);
        QCOMPARE(decoded->inProgress(), false);
    }

    // Decoding keeps the stored name; the clean-up belongs to new servers only.
    void decodingKeepsStoredName()
    {
        const QByteArray document(
            R"({"settings":{"vless":{"settings":{"address":"a","port":4.43e2,"userId":"u","flow":"",)"
            R"("encryption":"none","security":"none","sni":"","fingerprint":"","publicKey":"","shortId":"",)"
            R"("spiderX":""}}},"isInSubscription":false,"originalName":"o","name":"user@host:123",)"
            R"("id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","extra":[1]})");
        const ServerPtr server = decodeServer(json::parse(document));
        QCOMPARE(server->name(), QStringLiteral("user@host:123"));
        QCOMPARE(server->isInSubscription(), false);
        // Other writers put whole numbers so.
        QCOMPARE(port(server->settings()), 443);
    }

    void malformedServersFail_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("message");
        const QByteArray head(
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"n","originalName":"n","isInSubscription":true,)");
        const QByteArray ss(R"("address":"a","port":1,"password":"p")");
        const QString oneKey = QStringLiteral("Invalid number of keys found, expected one.");
        QTest::newRow("lower-case vmess key") << head + R"("settings":{"vmess":{"settings":{}}}})" << oneKey;
        QTest::newRow("two cases") << head + R"("settings":{"vMess":{"settings":{}},"vless":{"settings":{}}}})"
                                   << oneKey;
        QTest::newRow("no case") << head + R"("settings":{}})" << oneKey;
        QTest::newRow("cipher alias")
            << head + R"("settings":{"shadowsocks":{"settings":{)" + ss + R"(,"cipher":"aes-256-gcm"}}}})"
            << QStringLiteral("Cannot initialize ShadowsocksCipher from invalid String value aes-256-gcm");
        QTest::newRow("port as text") << head
                + R"("settings":{"shadowsocks":{"settings":{"address":"a","port":"1","password":"p","cipher":"AES-128-GCM"}}}})"
                                      << QStringLiteral("Expected an integer but found string.");
        QTest::newRow("fractional port") << head
                + R"("settings":{"shadowsocks":{"settings":{"address":"a","port":443.5,"password":"p","cipher":"AES-128-GCM"}}}})"
                                         << QStringLiteral("Expected an integer but found number.");
        QTest::newRow("missing password")
            << head + R"("settings":{"shadowsocks":{"settings":{"address":"a","port":1,"cipher":"AES-128-GCM"}}}})"
            << QStringLiteral("No value for key \"password\".");
        QTest::newRow("tls as text") << head
                + R"("settings":{"vMess":{"settings":{"address":"a","port":1,"userId":"u","tls":"true","userAlterId":"","security":"auto"}}}})"
                                     << QStringLiteral("Expected a boolean but found string.");
        QTest::newRow("settings payload not object")
            << head + R"("settings":{"vless":[]}})" << QStringLiteral("Expected an object but found array.");
        QTest::newRow("missing id") << QByteArray(R"({"name":"n"})") << QStringLiteral("No value for key \"id\".");
        QTest::newRow("flag as number") << QByteArray(
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"n","originalName":"n","isInSubscription":1})")
                                        << QStringLiteral("Expected a boolean but found number.");
    }

    void malformedServersFail()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, message);
        QCOMPARE(decodeFailure(document), message);
    }

    void onlineStatusForm_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("status"); // -1: fails
        QTest::newRow("unknown") << QByteArray(R"({"unknown":{}})") << int(OnlineStatus::unknown);
        QTest::newRow("online") << QByteArray(R"({"online":{}})") << int(OnlineStatus::online);
        QTest::newRow("offline, extra key") << QByteArray(R"({"offline":{},"x":1})") << int(OnlineStatus::offline);
        QTest::newRow("two cases") << QByteArray(R"({"online":{},"offline":{}})") << -1;
        QTest::newRow("as text") << QByteArray(R"("online")") << -1;
    }

    void onlineStatusForm()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, status);
        try {
            const OnlineStatus decoded = decodeOnlineStatus(json::parse(document));
            QCOMPARE(int(decoded), status);
            QCOMPARE(json::serialize(encodeOnlineStatus(decoded)),
                json::serialize(
                    json::emptyCase(json::oneKey(json::parse(document), { "unknown", "online", "offline" }))));
        } catch (const DecodingError &) {
            QCOMPARE(status, -1);
        }
    }

    void cipherNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("byName"); // -1: none
        QTest::addColumn<int>("byRawValue");
        QTest::newRow("raw aes-128") << QStringLiteral("AES-128-GCM") << int(ShadowsocksCipher::aes128Gcm)
                                     << int(ShadowsocksCipher::aes128Gcm);
        QTest::newRow("raw chacha") << QStringLiteral("ChaCha20-Poly1305") << int(ShadowsocksCipher::chacha20Poly1305)
                                    << int(ShadowsocksCipher::chacha20Poly1305);
        QTest::newRow("lower aes-256") << QStringLiteral("aes-256-gcm") << int(ShadowsocksCipher::aes256Gcm) << -1;
        QTest::newRow("underscores") << QStringLiteral("aes_128_gcm") << int(ShadowsocksCipher::aes128Gcm) << -1;
        QTest::newRow("no separators") << QStringLiteral("AES256GCM") << int(ShadowsocksCipher::aes256Gcm) << -1;
        QTest::newRow("ietf upper") << QStringLiteral("CHACHA20-IETF-POLY1305")
                                    << int(ShadowsocksCipher::chacha20Poly1305) << -1;
        QTest::newRow("stream cipher") << QStringLiteral("aes-256-cfb") << -1 << -1;
        QTest::newRow("empty") << QString() << -1 << -1;
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

    void identityIsTheId()
    {
        const ServerSettings settings
            = ShadowsockSettings { QStringLiteral("h"), 1, ShadowsocksCipher::aes128Gcm, QStringLiteral("p") };
        Server a(QStringLiteral("same"), settings, false);
        Server b(QStringLiteral("same"), settings, false);
        QVERIFY(!(a == b));
        const size_t hash = qHash(a);
        a.setName(QStringLiteral("renamed"));
        QVERIFY(a == a);
        QCOMPARE(qHash(a), hash);
        const Server restored(a.id(), QStringLiteral("other"), QString(), VMessSettings {}, true);
        QVERIFY(a == restored);
    }

    void addressWithPortOfEveryProtocol_data()
    {
        QTest::addColumn<ServerSettings>("settings");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("protocol");
        QTest::newRow("ss") << ServerSettings(ShadowsockSettings { QStringLiteral("1.2.3.4"), 8388, {}, {} })
                            << QStringLiteral("1.2.3.4:8388") << QStringLiteral("Shadowsocks");
        QTest::newRow("vmess") << ServerSettings(VMessSettings { QStringLiteral("a.b"), 443, {}, {}, {}, {} })
                               << QStringLiteral("a.b:443") << QStringLiteral("VMess");
        QTest::newRow("vless") << ServerSettings(
            VLESSSettings { QStringLiteral("c"), 0, {}, {}, {}, {}, {}, {}, {}, {}, {} })
                               << QStringLiteral("c:0") << QStringLiteral("VLESS");
    }

    void addressWithPortOfEveryProtocol()
    {
        QFETCH(ServerSettings, settings);
        QFETCH(QString, expected);
        QFETCH(QString, protocol);
        QCOMPARE(addressWithPort(settings), expected);
        QCOMPARE(protocolName(settings), protocol);
    }
};

WRENLOW_TEST(ServerJsonTest)
#include "tst_serverjson.moc"
