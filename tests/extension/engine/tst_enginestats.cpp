#include "engine/engineconfig.h"
#include "engine/engineprocess.h"
#include "engine/enginestats.h"
#include "engine/enginestatswire.h"
#include "httpserver.h"
#include "testpeers.h"
#include "testregistry.h"

#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <limits>
#include <memory>
#include <tuple>

using namespace Qt::StringLiterals;

namespace {

// A loopback server counting its connections; it keeps each silent, or closes it when the query
// arrives, or, given a target port, passes it through to that port.
class FakeEngine final : public QTcpServer {
public:
    explicit FakeEngine(bool closes, quint16 target = 0)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [=, this] {
            while (QTcpSocket *inside = nextPendingConnection()) {
                ++connections;
                connect(inside, &QTcpSocket::disconnected, this, [this] { ++disconnections; });
                if (target == 0) {
                    // Closed once the query arrives: a close before Qt has sent anything sometimes
                    // went unnoticed by Qt's HTTP/2 client, and the row then waited for its time-out.
                    if (closes)
                        connect(inside, &QTcpSocket::readyRead, inside, [inside] { inside->close(); });
                    continue;
                }
                auto *outside = new QTcpSocket(inside);
                connect(
                    inside, &QTcpSocket::readyRead, outside, [inside, outside] { outside->write(inside->readAll()); });
                connect(
                    outside, &QTcpSocket::readyRead, inside, [inside, outside] { inside->write(outside->readAll()); });
                outside->connectToHost(QHostAddress::LocalHost, target);
            }
        });
    }

    int connections = 0;
    int disconnections = 0;
};

// Starts the engine with the tunnel's own configuration, with its statistics API, sending everything
// straight out: no server stands behind the proxy outbound.
bool startEngine(EngineProcess &engine, quint16 httpPort, quint16 apiPort, bool withStatistics = true)
{
    BackendConfiguration backend { ShadowsockSettings { u"127.0.0.1"_s, 9, ShadowsocksCipher::aes256Gcm, u"secret"_s },
        {} };
    backend.appSettings.network = NetworkSettings { false, true, false, httpPort };
    EngineOptions options;
    options.apiPort = apiPort;
    Json doc = makeEngineConfig(backend, options).document;
    doc["routing"]["rules"].push_back({ { "type", "field" }, { "network", "tcp,udp" }, { "outboundTag", "direct" } });
    if (!withStatistics)
        doc["api"]["services"] = Json::array({ "HandlerService" });
    QSignalSpy started(&engine, &EngineProcess::started);
    engine.start(QByteArray::fromStdString(doc.dump()));
    return started.wait(10000);
}

// One query to its end; EngineStats guarantees the end within its time-out.
std::optional<EngineTraffic> take(EngineStats &stats)
{
    std::optional<EngineTraffic> taken;
    QEventLoop loop;
    bool returned = false;
    const bool started = stats.takeTraffic([&](std::optional<EngineTraffic> traffic) {
        QVERIFY2(returned, "the handler ran before takeTraffic returned");
        taken = traffic;
        loop.quit();
    });
    returned = true;
    if (started)
        loop.exec();
    return taken;
}

} // namespace

class EngineStatsTest final : public QObject {
    Q_OBJECT
    using BrokenEngine = std::tuple<bool, QString, int>;

private Q_SLOTS:
    // The statistics API's answer: one gRPC message holding the engine's counters.
    void decodesStatistics_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        // Protobuf pieces.
        const auto varint = [](quint64 value) -> QByteArray {
            QByteArray out;
            for (; value >= 0x80; value >>= 7)
                out.append(char(0x80 | (value & 0x7f)));
            return out.append(char(value));
        };
        const auto tag
            = [&](quint32 field, quint8 wireType) -> QByteArray { return varint(quint64(field) << 3 | wireType); };
        const auto bytesField = [&](quint32 field, const QByteArray &bytes) -> QByteArray {
            return tag(field, 2) + varint(quint64(bytes.size())) + bytes;
        };
        const auto stat = [&](const QByteArray &name, quint64 value) -> QByteArray {
            return bytesField(1, bytesField(1, name) + tag(2, 0) + varint(value));
        };
        const auto grpcMessage = [](const QByteArray &message) -> QByteArray {
            QByteArray prefix(5, '\0');
            qToBigEndian(quint32(message.size()), prefix.data() + 1);
            return prefix + message;
        };
        const QByteArray up = "outbound>>>proxy>>>traffic>>>uplink";
        const QByteArray down = "outbound>>>proxy>>>traffic>>>downlink";
        const QByteArray unknown
            = tag(7, 0) + varint(300) + tag(8, 1) + "12345678" + bytesField(9, "skip") + tag(10, 5) + "1234";
        const auto largest = quint64(std::numeric_limits<qint64>::max());
        const QByteArray one = grpcMessage(stat(up, 1));
        QTest::newRow("short prefix") << one.first(4) << u"malformed"_s;
        QTest::newRow("message longer than sent") << one.chopped(1) << u"malformed"_s;
        QTest::newRow("two messages") << one + one << u"malformed"_s;
        QTest::newRow("compressed message") << "\x01" + one.sliced(1) << u"malformed"_s;
        const auto row = [&](const char *name, const QByteArray &message, const QString &expected) {
            QTest::newRow(name) << grpcMessage(message) << expected;
        };
        row("outbounds summed",
            stat(up, 100) + stat(down, 1000) + stat("outbound>>>direct>>>traffic>>>uplink", 5)
                + stat("outbound>>>direct>>>traffic>>>downlink", 7) + stat("outbound>>>api>>>traffic>>>downlink", 50)
                + stat("inbound>>>http-in>>>traffic>>>uplink", 9) + stat("outbound>>>proxy>>>traffic>>>other", 9),
            u"105 up, 1007 down"_s);
        row("no counters", {}, u"0 up, 0 down"_s);
        row("zero left out", bytesField(1, bytesField(1, up)), u"0 up, 0 down"_s);
        row("unknown fields", unknown + bytesField(1, unknown + bytesField(1, up) + tag(2, 0) + varint(42)),
            u"42 up, 0 down"_s);
        row("largest counter", stat(down, largest), u"0 up, 9223372036854775807 down"_s);
        row("truncated varint", bytesField(1, bytesField(1, up) + tag(2, 0) + "\x80"), u"malformed"_s);
        row("eleven-byte varint", bytesField(1, bytesField(1, up) + tag(2, 0) + QByteArray(10, '\x81') + "\x01"),
            u"malformed"_s);
        row("length past the end", stat(up, 1).chopped(1), u"malformed"_s);
        row("name past its stat", bytesField(1, tag(1, 2) + varint(40) + "short") + stat(up, 1), u"malformed"_s);
        row("group", tag(3, 3) + tag(3, 4), u"malformed"_s);
        row("field zero", tag(0, 0) + varint(1), u"malformed"_s);
        row("negative counter", stat(up, quint64(-1)), u"malformed"_s);
        row("stat as a number", tag(1, 0) + varint(5), u"malformed"_s);
        row("sum past 64 bits", stat(up, largest) + stat("outbound>>>direct>>>traffic>>>uplink", 1), u"malformed"_s);
    }

    void decodesStatistics()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        const std::optional<QByteArrayView> message = statswire::grpcMessage(body);
        const auto stats = message ? statswire::decodeQueryStatsResponse(*message) : std::nullopt;
        const std::optional<EngineTraffic> traffic = stats ? statswire::trafficFromStats(*stats) : std::nullopt;
        QCOMPARE(traffic ? u"%1 up, %2 down"_s.arg(traffic->uplink).arg(traffic->downlink) : u"malformed"_s, expected);
    }

    // Counts what goes through the engine, and follows it as it stops and comes back.
    void followsTheEngine()
    {
        const quint16 apiPort = freePort(), httpPort = freePort();
        EngineProcess engine(QStringLiteral("v2ray"));
        QVERIFY(startEngine(engine, httpPort, apiPort));
        FakeEngine relay(false, apiPort);
        EngineStats stats(relay.serverPort());
        QVERIFY2(take(stats), qPrintable(stats.lastError()));

        // A megabyte from a site reached through the engine; the request is all that goes up.
        TestHttpServer site;
        QVERIFY(site.start());
        QCOMPARE(peers::fetchThroughProxy(site.url(u"/bytes/1000000"_s), httpPort).body.size(), 1000000);

        // The body and the heads, each counted once.
        const EngineTraffic traffic = take(stats).value_or(EngineTraffic { -1, -1 });
        const QString counted
            = u"%1 up, %2 down, %3"_s.arg(traffic.uplink).arg(traffic.downlink).arg(stats.lastError());
        QVERIFY2(
            traffic.uplink > 0 && traffic.uplink < 1000 && traffic.downlink >= 1000000 && traffic.downlink < 1001000,
            qPrintable(counted));
        // That query reset the counters, and queries are not traffic; all went over one connection.
        QCOMPARE(take(stats), EngineTraffic {});
        QCOMPARE(relay.connections, 1);

        // The engine's secrets went through the pipe, not where other users can read them.
        QFile commandLine(u"/proc/%1/cmdline"_s.arg(engine.processId()));
        QVERIFY(commandLine.open(QIODevice::ReadOnly) && !commandLine.readAll().contains("secret"));
        // Stopped once stop() returns: a successor engine can bind the same port at once. A dead engine
        // is an error of its own.
        engine.stop();
        QVERIFY(!engine.isRunning() && QTcpServer().listen(QHostAddress::LocalHost, httpPort));
        QCOMPARE(take(stats), std::nullopt);
        QVERIFY(!stats.lastError().isEmpty() && !stats.lastError().contains(u"gRPC status 12"_s));

        // Without StatsService the engine answers with a gRPC status and no message, and the next query
        // goes on a fresh connection; once statistics are back, queries succeed and the error goes.
        QVERIFY(startEngine(engine, httpPort, apiPort, false));
        const int connections = relay.connections;
        QCOMPARE(take(stats), std::nullopt);
        QVERIFY2(stats.lastError().contains(u"gRPC status 12"_s), qPrintable(stats.lastError()));
        QCOMPARE(take(stats), std::nullopt);
        QCOMPARE(relay.connections, connections + 2);
        engine.stop();
        QVERIFY(startEngine(engine, httpPort, apiPort));
        QVERIFY2(take(stats), qPrintable(stats.lastError()));
        QVERIFY(stats.lastError().isEmpty());
    }

    void failsOnBrokenEngines_data()
    {
        // Whether it closes the connection, the reason given, the time-out; a closed connection must be
        // told from a silent one however slowly this process runs.
        QTest::addColumn<BrokenEngine>("row");
        QTest::newRow("silent") << BrokenEngine { false, u"did not answer"_s, 1 };
        QTest::newRow("closed") << BrokenEngine { true, u"statistics API failed"_s, 20 };
    }

    void failsOnBrokenEngines()
    {
        QFETCH(BrokenEngine, row);
        const auto &[closes, reason, timeoutSeconds] = row;
        FakeEngine fake(closes);
        EngineStats stats(fake.serverPort(), nullptr, std::chrono::seconds(timeoutSeconds));
        QVERIFY(stats.takeTraffic([](std::optional<EngineTraffic>) {}));
        // One query at a time: a tick while one is pending is skipped.
        QVERIFY(!stats.takeTraffic([](std::optional<EngineTraffic>) {}));
        QTRY_VERIFY_WITH_TIMEOUT(!stats.isBusy(), (timeoutSeconds + 5) * 1000);
        QVERIFY2(stats.lastError().contains(reason, Qt::CaseInsensitive), qPrintable(stats.lastError()));

        // Whatever went wrong, the next query starts on a fresh connection.
        QCOMPARE(take(stats), std::nullopt);
        QCOMPARE(fake.connections, 2);
        QTRY_VERIFY(fake.disconnections >= 1);
    }

    void dropsHandlersSafely()
    {
        FakeEngine fake(false);
        auto stats = std::make_unique<EngineStats>(fake.serverPort());
        bool called = false;
        QVERIFY(stats->takeTraffic([&](std::optional<EngineTraffic>) { called = true; }));
        QTRY_COMPARE(fake.connections, 1);
        // The pending handler goes with the client, and so does its connection.
        stats.reset();
        QTRY_COMPARE(fake.disconnections, 1);
        QVERIFY(!called);

        // And the owner may let go of the client from the handler.
        stats = std::make_unique<EngineStats>(freePort());
        QVERIFY(stats->takeTraffic([&](std::optional<EngineTraffic> traffic) {
            called = !traffic;
            stats.reset();
        }));
        QTRY_VERIFY(called);
        QVERIFY(!stats);
    }
};

WRENLOW_TEST(EngineStatsTest)
#include "tst_enginestats.moc"
