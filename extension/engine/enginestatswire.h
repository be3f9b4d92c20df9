#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// What goes over the engine's statistics API, written by hand rather than pulling gRPC into the
// tunnel: HTTP/2 frames on cleartext TCP, the gRPC message prefix and the two protobuf messages of
// StatsService/QueryStats. Everything read from the engine is checked before use; anything out of
// shape fails instead of being guessed at.

// One counter of the engine, such as "outbound>>>proxy>>>traffic>>>uplink".
struct EngineStat {
    QString name;
    qint64 value = 0;
    friend bool operator==(const EngineStat &, const EngineStat &) = default;
};

// Bytes moved through the engine's outbounds: uplink is what the tunnel's users sent, downlink
// what they received.
struct EngineTraffic {
    qint64 uplink = 0;
    qint64 downlink = 0;
    friend bool operator==(const EngineTraffic &, const EngineTraffic &) = default;
};

namespace statswire {

// QueryStatsRequest{ string pattern = 1; bool reset = 2; }
QByteArray encodeQueryStatsRequest(QByteArrayView pattern, bool reset);
// QueryStatsResponse{ repeated Stat stat = 1; } with Stat{ string name = 1; int64 value = 2; }.
// Unknown fields are skipped; a truncated or malformed message, or a negative counter, gives nullopt.
std::optional<QList<EngineStat>> decodeQueryStatsResponse(QByteArrayView message);
// The sum of the outbound traffic counters, leaving out the API's own outbound; nullopt when the
// sum would not fit.
std::optional<EngineTraffic> trafficFromStats(const QList<EngineStat> &stats);

// The client side of one HTTP/2 connection with prior knowledge, carrying one unary gRPC call to
// one method at a time. It does no I/O: the owner writes the bytes it returns and feeds it
// whatever the socket reads. HPACK goes one way only: requests use literal fields, and the
// answer's header blocks are skipped, so a call counts as answered when its stream ends after
// exactly one message (a failing gRPC call ends with trailers alone).
class GrpcConnection final {
public:
    // Frames larger than this are refused, and announced as the most the engine may send.
    static constexpr qsizetype maximumFrameSize = 16384;
    // The largest answer accepted; the statistics of a tunnel take a few hundred bytes.
    static constexpr qsizetype maximumMessageSize = 1 << 20;

    GrpcConnection(QByteArrayView authority, QByteArrayView path);

    // The connection preface and our settings: the first bytes to write.
    QByteArray open() const;
    // The frames of a call with this request message. Nothing while a call is in flight, or when
    // the connection is broken or breaks here (no stream identifiers or window left).
    QByteArray call(QByteArrayView message);
    // Consumes bytes read from the connection and returns what to write back (acknowledgements).
    QByteArray receive(QByteArrayView bytes);

    // Whether a call may start: no call in flight, the connection unbroken and stream
    // identifiers left.
    bool canCall() const;
    bool isCalling() const { return m_calling; }
    // The connection must be closed; a call in flight when it broke has failed.
    bool isBroken() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }
    // The answer of the last call, once, after its stream ended with one message.
    std::optional<QByteArray> takeAnswer();

private:
    struct Frame {
        quint8 type;
        quint8 flags;
        quint32 stream;
        QByteArrayView payload;
    };

    void handle(const Frame &frame, QByteArray &reply);
    void handleData(const Frame &frame);
    void handleHeaders(const Frame &frame);
    void handleSettings(const Frame &frame, QByteArray &reply);
    void endStream();
    void fail(const QString &reason);

    QByteArray m_headerBlock;
    QByteArray m_input;
    quint32 m_nextStream = 1;
    quint32 m_stream = 0;
    bool m_settingsSeen = false;
    bool m_calling = false;
    QByteArray m_body;
    std::optional<QByteArray> m_answer;
    // The stream whose header block continues in CONTINUATION frames, and whether it ends with it.
    quint32 m_continuedStream = 0;
    bool m_continuedEndsStream = false;
    // Flow control: what the engine may still send us, what we consumed and have not yet given
    // back, and what we may send it.
    qint64 m_receiveWindow;
    qint64 m_consumed = 0;
    qint64 m_sendWindow = 65535;
    qint64 m_streamSendWindow = 65535;
    QString m_error;
};

} // namespace statswire
