#include "engine/enginestatswire.h"

#include <QtEndian>

#include <limits>
#include <utility>

namespace statswire {

namespace {

    constexpr qsizetype grpcPrefixSize = 5;

    // The engine's API outbound, as makeEngineConfig names it: its own queries are not traffic.
    constexpr QStringView apiOutboundTag = u"api";

    void appendVarint(QByteArray &out, quint64 value)
    {
        while (value >= 0x80) {
            out.append(char(0x80 | (value & 0x7f)));
            value >>= 7;
        }
        out.append(char(value));
    }

    // Protobuf wire types.
    enum WireType : quint8 { varintWire = 0, fixed64Wire = 1, lengthDelimitedWire = 2, fixed32Wire = 5 };

    // Reads protobuf fields from a byte range; every read checks the bytes are there.
    class FieldReader {
    public:
        explicit FieldReader(QByteArrayView bytes)
            : m_bytes(bytes)
        {
        }

        bool atEnd() const { return m_at == m_bytes.size(); }

        bool readVarint(quint64 &value)
        {
            value = 0;
            for (int shift = 0; shift < 64; shift += 7) {
                if (m_at == m_bytes.size())
                    return false;
                const auto byte = quint8(m_bytes[m_at++]);
                // The tenth byte holds the top bit only.
                if (shift == 63 && byte > 1)
                    return false;
                value |= quint64(byte & 0x7f) << shift;
                if (!(byte & 0x80))
                    return true;
            }
            return false;
        }

        bool readTag(quint32 &field, quint8 &wireType)
        {
            quint64 tag;
            if (!readVarint(tag) || tag > std::numeric_limits<quint32>::max() || (tag >> 3) == 0)
                return false;
            field = quint32(tag >> 3);
            wireType = quint8(tag & 7);
            return true;
        }

        bool readBytes(QByteArrayView &bytes)
        {
            quint64 length;
            if (!readVarint(length) || length > quint64(m_bytes.size() - m_at))
                return false;
            bytes = m_bytes.sliced(m_at, qsizetype(length));
            m_at += qsizetype(length);
            return true;
        }

        bool skip(quint8 wireType)
        {
            quint64 ignored;
            QByteArrayView ignoredBytes;
            switch (wireType) {
            case varintWire:
                return readVarint(ignored);
            case fixed64Wire:
                return advance(8);
            case lengthDelimitedWire:
                return readBytes(ignoredBytes);
            case fixed32Wire:
                return advance(4);
            default:
                // Groups (3, 4) are gone from proto3 and the rest are undefined.
                return false;
            }
        }

    private:
        bool advance(qsizetype count)
        {
            if (m_bytes.size() - m_at < count)
                return false;
            m_at += count;
            return true;
        }

        QByteArrayView m_bytes;
        qsizetype m_at = 0;
    };

    std::optional<EngineStat> decodeStat(QByteArrayView bytes)
    {
        FieldReader reader(bytes);
        EngineStat stat;
        while (!reader.atEnd()) {
            quint32 field;
            quint8 wireType;
            if (!reader.readTag(field, wireType))
                return std::nullopt;
            if (field == 1 && wireType == lengthDelimitedWire) {
                QByteArrayView name;
                if (!reader.readBytes(name))
                    return std::nullopt;
                stat.name = QString::fromUtf8(name);
            } else if (field == 2 && wireType == varintWire) {
                quint64 value;
                if (!reader.readVarint(value) || qint64(value) < 0)
                    return std::nullopt;
                stat.value = qint64(value);
            } else if (field == 1 || field == 2) {
                return std::nullopt;
            } else if (!reader.skip(wireType)) {
                return std::nullopt;
            }
        }
        return stat;
    }

} // namespace

QByteArray encodeQueryStatsRequest(QByteArrayView pattern, bool reset)
{
    QByteArray message;
    if (!pattern.isEmpty()) {
        message.append(char(1 << 3 | lengthDelimitedWire));
        appendVarint(message, quint64(pattern.size()));
        message.append(pattern);
    }
    if (reset)
        message.append(char(2 << 3 | varintWire)).append('\1');
    return message;
}

std::optional<QList<EngineStat>> decodeQueryStatsResponse(QByteArrayView message)
{
    FieldReader reader(message);
    QList<EngineStat> stats;
    while (!reader.atEnd()) {
        quint32 field;
        quint8 wireType;
        if (!reader.readTag(field, wireType))
            return std::nullopt;
        if (field == 1) {
            QByteArrayView bytes;
            if (wireType != lengthDelimitedWire || !reader.readBytes(bytes))
                return std::nullopt;
            std::optional<EngineStat> stat = decodeStat(bytes);
            if (!stat)
                return std::nullopt;
            stats.append(std::move(*stat));
        } else if (!reader.skip(wireType)) {
            return std::nullopt;
        }
    }
    return stats;
}

std::optional<EngineTraffic> trafficFromStats(const QList<EngineStat> &stats)
{
    EngineTraffic traffic;
    for (const EngineStat &stat : stats) {
        // outbound>>>TAG>>>traffic>>>uplink|downlink
        const QList<QStringView> pieces = QStringView(stat.name).split(u">>>");
        if (pieces.size() != 4 || pieces[0] != u"outbound" || pieces[1] == apiOutboundTag || pieces[2] != u"traffic")
            continue;
        qint64 *sum = pieces[3] == u"uplink" ? &traffic.uplink : pieces[3] == u"downlink" ? &traffic.downlink : nullptr;
        if (sum && qAddOverflow(*sum, stat.value, sum))
            return std::nullopt;
    }
    return traffic;
}

QByteArray grpcFrame(QByteArrayView message)
{
    QByteArray body(grpcPrefixSize, '\0');
    qToBigEndian(quint32(message.size()), body.data() + 1);
    return body.append(message);
}

std::optional<QByteArrayView> grpcMessage(QByteArrayView body)
{
    // A set first byte would mean a compressed message, which we never asked for.
    if (body.size() < grpcPrefixSize || body[0] != '\0'
        || qFromBigEndian<quint32>(body.data() + 1) != quint64(body.size() - grpcPrefixSize))
        return std::nullopt;
    return body.sliced(grpcPrefixSize);
}

} // namespace statswire
