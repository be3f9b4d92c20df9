#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// What goes over the engine's statistics API inside HTTP/2, written by hand rather than pulling
// gRPC into the tunnel: the gRPC message prefix and the two protobuf messages of
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

// A gRPC body of one uncompressed message: the five-byte prefix (flags, length) and the message.
QByteArray grpcFrame(QByteArrayView message);
// The message of a body holding exactly one uncompressed message; nullopt for anything else.
std::optional<QByteArrayView> grpcMessage(QByteArrayView body);

} // namespace statswire
