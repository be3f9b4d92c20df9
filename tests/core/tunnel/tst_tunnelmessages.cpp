#include "core/tunnel/ipcframe.h"
#include "core/tunnel/tunnelmessages.h"
#include "golden.h"
#include "testregistry.h"

#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(TunnelRequest)
Q_DECLARE_METATYPE(TunnelRequestResult)

namespace {

// The wire form of the current row in golden/<file>.json.
QByteArray form(const char *file)
{
    const Json forms = json::parse(golden(u"core/tunnel/golden/"_s + QString::fromLatin1(file)));
    const auto found = forms.find(QTest::currentDataTag());
    return found == forms.end() ? QByteArray("<no form>") : json::serialize(*found);
}

template <typename Decode> QString decodeFailure(Decode decode, const QByteArray &bytes)
{
    try {
        decode(bytes);
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
        AppSettings settings;
        settings.general.connectOnStart = true;
        settings.geoIP.isEnabled = true;
        const ServerSettings vless
            = VLESSSettings { u"h.example"_s, 443, u"u"_s, {}, u"none"_s, u"tls"_s, u"sni"_s, {}, {}, {}, {} };
        QTest::newRow("checkCurrentStatus") << TunnelRequest(CheckCurrentStatus {});
        QTest::newRow("getGraphData") << TunnelRequest(GetGraphData {});
        QTest::newRow("fetchSubscription")
            << TunnelRequest(FetchSubscription { QUrl(u"https://example.com/s?a=b c"_s) });
        QTest::newRow("changeNetworkSettings")
            << TunnelRequest(ChangeNetworkSettings { NetworkSettings { false, true, true, 3128 } });
        QTest::newRow("checkStatus") << TunnelRequest(
            CheckStatus { ShadowsockSettings { u"a"_s, 1, ShadowsocksCipher::aes256Gcm, u"p"_s } });
        QTest::newRow("change") << TunnelRequest(Change { BackendConfiguration { vless, settings } });
    }

    // The tunnel program reads exactly these bytes; cases without payload carry an empty object.
    void requestForm()
    {
        QFETCH(TunnelRequest, request);
        const QByteArray expected = form("requests");
        QCOMPARE(encodeTunnelRequest(request), expected);
        QVERIFY(decodeTunnelRequest(expected) == request);
    }

    void resultForm_data()
    {
        QTest::addColumn<TunnelRequestResult>("result");
        using namespace TunnelResults;
        QTest::newRow("success") << TunnelRequestResult(Success {});
        QTest::newRow("failure") << TunnelRequestResult(Failure { u"no"_s });
        QTest::newRow("data") << TunnelRequestResult(FetchSubscription { QByteArray("\x00\xff ss://", 8) });
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

    void rejects_data()
    {
        QTest::addColumn<bool>("request");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error"); // "*": any
        const QString oneKey = u"Invalid number of keys found, expected one."_s;
        const auto add = [](const char *tag, bool request, const QByteArray &bytes, const QString &error) {
            QTest::newRow(tag) << request << bytes << error;
        };
        add("two members", false, R"({"success":{},"failure":{"reason":"x"}})", oneKey);
        add("payload not object", false, R"({"success":null})", u"Expected an object but found null."_s);
        add("reason missing", false, R"({"failure":{}})", u"No value for key \"reason\"."_s);
        add("data not base64", false, R"({"fetchSubscription":{"data":"***"}})",
            u"Encountered Data is not valid Base64."_s);
        add("relative url", true, R"({"fetchSubscription":{"url":"example.com/s"}})", u"*"_s);
        add("network missing", true, R"({"changeNetworkSettings":{}})", u"No value for key \"network\"."_s);
        add("backend without geoIP", true,
            R"({"change":{"backendSettings":{"serverSettings":{"vless":{"settings":{}}},"appSettings":)"
            R"({"dns":{"prioritizeLocalDNS":true,"address":[]}}}}})",
            u"*"_s);
        add("result case as request", true, R"({"success":{}})", oneKey);
    }

    void rejects()
    {
        QFETCH(bool, request);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const QString failure
            = request ? decodeFailure(decodeTunnelRequest, bytes) : decodeFailure(decodeTunnelRequestResult, bytes);
        if (error == u"*")
            QVERIFY(!failure.isEmpty());
        else
            QCOMPARE(failure, error);
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
        QVERIFY(frames[0] == first && frames[1] == second);
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
