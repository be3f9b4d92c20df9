#include "core/tunnel/ipcframe.h"
#include "core/tunnel/tunnelmessages.h"
#include "core/tunnel/tunnelprovidererror.h"
#include "golden.h"
#include "testregistry.h"

#include <QTest>

Q_DECLARE_METATYPE(TunnelRequest)
Q_DECLARE_METATYPE(TunnelRequestResult)

namespace {

const ServerSettings vless = VLESSSettings { QStringLiteral("h.example"), 443, QStringLiteral("u"), {},
    QStringLiteral("none"), QStringLiteral("tls"), QStringLiteral("sni"), {}, {}, {}, {} };

// The stored form of the current row in golden/<file>.json.
QByteArray form(const char *file)
{
    const Json forms = json::parse(golden(QStringLiteral("core/tunnel/golden/") + QString::fromLatin1(file)));
    const auto found = forms.find(QTest::currentDataTag());
    return found == forms.end() ? QByteArray("<no form>") : json::serialize(*found);
}

QString decodeFailure(const std::function<void()> &decode)
{
    try {
        decode();
    } catch (const DecodingError &e) {
        return e.description();
    }
    return {};
}

} // namespace

class TunnelMessagesTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void requestForm_data()
    {
        QTest::addColumn<TunnelRequest>("request");
        using namespace TunnelRequests;
        QTest::newRow("checkCurrentStatus") << TunnelRequest(CheckCurrentStatus {});
        QTest::newRow("getGraphData") << TunnelRequest(GetGraphData {});
        QTest::newRow("getMemoryUsed") << TunnelRequest(GetMemoryUsed {});
        QTest::newRow("fetchSubscription")
            << TunnelRequest(FetchSubscription { QUrl(QStringLiteral("https://example.com/s?a=b c")) });
        QTest::newRow("changeNetworkSettings")
            << TunnelRequest(ChangeNetworkSettings { NetworkSettings { false, true, true, 3128 } });
        QTest::newRow("checkStatus") << TunnelRequest(CheckStatus {
            ShadowsockSettings { QStringLiteral("a"), 1, ShadowsocksCipher::aes256Gcm, QStringLiteral("p") } });
    }

    // The tunnel program reads exactly these bytes; cases without payload carry an empty object.
    void requestForm()
    {
        QFETCH(TunnelRequest, request);
        const QByteArray expected = form("requests");
        QCOMPARE(encodeTunnelRequest(request), expected);
        QVERIFY(decodeTunnelRequest(expected) == request);
    }

    void changeRequestRoundTrip()
    {
        AppSettings settings;
        settings.general.connectOnStart = true;
        settings.routing.blockDomains = { DomainItem { QStringLiteral("ads.example"), DomainRuleType::rootDomain } };
        const TunnelRequest request = TunnelRequests::Change { BackendConfiguration { vless, settings } };
        const QByteArray bytes = encodeTunnelRequest(request);
        QVERIFY(bytes.startsWith(R"({"change":{"backendSettings":{"serverSettings":{"vless":)"));
        const auto decoded = std::get<TunnelRequests::Change>(decodeTunnelRequest(bytes));
        QVERIFY(decoded.backendSettings.serverSettings == vless);
        QCOMPARE(
            decoded.backendSettings.appSettings.routing.blockDomains.first().domain, QStringLiteral("ads.example"));
        QCOMPARE(decoded.backendSettings.appSettings.general.connectOnStart, true);
    }

    void resultForm_data()
    {
        QTest::addColumn<TunnelRequestResult>("result");
        using namespace TunnelResults;
        QTest::newRow("success") << TunnelRequestResult(Success {});
        QTest::newRow("failure") << TunnelRequestResult(Failure { QStringLiteral("no") });
        QTest::newRow("data") << TunnelRequestResult(FetchSubscription { QByteArray("\x00\xff ss://", 8) });
        QTest::newRow("empty data") << TunnelRequestResult(FetchSubscription {});
        QTest::newRow("online") << TunnelRequestResult(OnlineStatusResult { OnlineStatus::offline });
        QTest::newRow("memory") << TunnelRequestResult(MemoryUsed { 123456789012 });
    }

    void resultForm()
    {
        QFETCH(TunnelRequestResult, result);
        const QByteArray expected = form("results");
        QCOMPARE(encodeTunnelRequestResult(result), expected);
        QVERIFY(decodeTunnelRequestResult(expected) == result);
    }

    void undecodableResults_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        const QString oneKey = QStringLiteral("Invalid number of keys found, expected one.");
        QTest::newRow("two members") << QByteArray(R"({"success":{},"failure":{"reason":"x"}})") << oneKey;
        QTest::newRow("unknown case") << QByteArray(R"({"graph":{}})") << oneKey;
        QTest::newRow("empty object") << QByteArray("{}") << oneKey;
        QTest::newRow("payload not object")
            << QByteArray(R"({"success":null})") << QStringLiteral("Expected an object but found null.");
        QTest::newRow("reason missing") << QByteArray(R"({"failure":{}})")
                                        << QStringLiteral("No value for key \"reason\".");
        QTest::newRow("amount as text") << QByteArray(R"({"memoryUsed":{"amount":"1"}})")
                                        << QStringLiteral("Expected an integer but found string.");
        QTest::newRow("data not base64") << QByteArray(R"({"fetchSubscription":{"data":"***"}})")
                                         << QStringLiteral("Encountered Data is not valid Base64.");
        QTest::newRow("raw graph bytes") << QByteArray(16, '\0')
                                         << QStringLiteral("The data is not valid JSON: NUL byte");
    }

    void undecodableResults()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        QCOMPARE(decodeFailure([&] { decodeTunnelRequestResult(bytes); }), error);
    }

    void undecodableRequests_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("relative url") << QByteArray(R"({"fetchSubscription":{"url":"example.com/s"}})");
        QTest::newRow("url not text") << QByteArray(R"({"fetchSubscription":{"url":1}})");
        QTest::newRow("network missing") << QByteArray(R"({"changeNetworkSettings":{}})");
        QTest::newRow("backend without geoIP") << QByteArray(
            R"({"change":{"backendSettings":{"serverSettings":{"vless":{"settings":{}}},"appSettings":{"dns":{"prioritizeLocalDNS":true,"address":[]}}}}})");
        QTest::newRow("result case as request") << QByteArray(R"({"success":{}})");
    }

    void undecodableRequests()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!decodeFailure([&] { decodeTunnelRequest(bytes); }).isEmpty());
    }

    void graphData_data()
    {
        QTest::addColumn<int>("graphBytes");
        QTest::addColumn<int>("dataSize"); // -1: unreadable
        QTest::newRow("counters only") << 0 << 0;
        QTest::newRow("one bar each") << 4 << 1;
        QTest::newRow("60 bars and a stray byte") << 241 << 60;
        QTest::newRow("three stray bytes") << 7 << 1;
    }

    void graphData()
    {
        QFETCH(int, graphBytes);
        QFETCH(int, dataSize);
        QByteArray bars(graphBytes, Qt::Uninitialized);
        for (int i = 0; i < graphBytes; ++i)
            bars[i] = char(i * 7);
        const QByteArray wire = encodeGraphData(1 + (qint64(1) << 40), 258, bars);
        QCOMPARE(wire.left(3), QByteArray("\x01\x00\x00", 3));
        const auto graph = decodeGraphData(wire);
        QVERIFY(graph);
        QCOMPARE(graph->dataSize, dataSize);
        QCOMPARE(graph->received, 1 + (qint64(1) << 40));
        QCOMPARE(graph->sent, 258);
        QCOMPARE(graph->graphData, bars);
        QVERIFY(!decodeGraphData(wire.left(15)));
    }

    void providerErrorTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("text");
        using C = TunnelProviderError::Code;
        QTest::newRow("network") << int(C::setNetworkSettings) << QStringLiteral("port busy")
                                 << QStringLiteral("Network error: port busy");
        QTest::newRow("start") << int(C::startBackend) << QStringLiteral("bad key")
                               << QStringLiteral("Cannot start tunnel: bad key");
        QTest::newRow("custom has no prefix") << int(C::custom) << QStringLiteral("X") << QStringLiteral("X");
        QTest::newRow("descriptor") << int(C::cannotLocateTunnelFileDescriptor) << QString()
                                    << QStringLiteral("Cannot locate tunnel file descriptor");
        QTest::newRow("state") << int(C::invalidState) << QString() << QStringLiteral("Invalid state");
        QTest::newRow("configuration") << int(C::invalidConfiguration) << QString()
                                       << QStringLiteral("Invalid configuration");
    }

    // The application only learns the text through the platform error's "description" entry.
    void providerErrorTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, detail);
        QFETCH(QString, text);
        const PlatformError error(TunnelProviderError(TunnelProviderError::Code(code), detail));
        QCOMPARE(error.code(), code);
        QVERIFY(error.domain().endsWith(QStringLiteral("TunnelProviderError")));
        const PlatformError decoded = decodePlatformError(json::parse(json::serialize(encodePlatformError(error))));
        QCOMPARE(decoded.userInfoDescription(), std::optional<QString>(text));
        QVERIFY(decoded == error);
    }

    void framesSurviveSplitsAndRefuseBadHeaders()
    {
        const ipc::Frame first { ipc::Kind::request, 7, QByteArray("{\"getGraphData\":{}}") };
        const ipc::Frame second { ipc::Kind::emptyResponse, 0xFFFFFFFF, {} };
        const QByteArray stream = ipc::encode(first) + ipc::encode(second);
        ipc::FrameReader reader;
        QList<ipc::Frame> frames;
        for (const char byte : stream) {
            reader.append(QByteArray(1, byte));
            while (auto frame = reader.next())
                frames.append(*frame);
        }
        QCOMPARE(frames.size(), 2);
        QVERIFY(frames[0] == first);
        QVERIFY(frames[1] == second);
        QVERIFY(!reader.failed());

        for (const QByteArray &bad : { QByteArray("\x00\x00\x00\x04\x01", 5), QByteArray("\x05\x00\x00\x00\x01", 5),
                 QByteArray("\x00\x00\x00\x05\x0a\x00\x00\x00\x00", 9) }) {
            ipc::FrameReader hostile;
            hostile.append(bad);
            QVERIFY(!hostile.next());
            QVERIFY(hostile.failed());
        }
    }
};

WRENLOW_TEST(TunnelMessagesTest)
#include "tst_tunnelmessages.moc"
