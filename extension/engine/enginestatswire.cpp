#include "engine/enginestatswire.h"

#include <QtEndian>

#include <limits>
#include <utility>

namespace statswire {

namespace {

    // HTTP/2 frame types and flags (RFC 9113, section 6).
    enum FrameType : quint8 {
        dataFrame = 0x0,
        headersFrame = 0x1,
        priorityFrame = 0x2,
        resetFrame = 0x3,
        settingsFrame = 0x4,
        pushPromiseFrame = 0x5,
        pingFrame = 0x6,
        goAwayFrame = 0x7,
        windowUpdateFrame = 0x8,
        continuationFrame = 0x9,
    };
    constexpr quint8 endStreamFlag = 0x1;
    constexpr quint8 ackFlag = 0x1;
    constexpr quint8 endHeadersFlag = 0x4;
    constexpr quint8 paddedFlag = 0x8;

    constexpr quint16 enablePushSetting = 0x2;
    constexpr quint16 initialWindowSizeSetting = 0x4;
    constexpr quint16 maxFrameSizeSetting = 0x5;

    constexpr qsizetype frameHeaderSize = 9;
    constexpr qsizetype grpcPrefixSize = 5;
    constexpr quint32 largestStream = 0x7fffffff;
    constexpr qint64 largestWindow = 0x7fffffff;
    constexpr qint64 defaultWindow = 65535;
    // Room for the largest answer twice over, so that the engine never waits for our window updates,
    // which go out with the next call.
    constexpr qint64 receiveWindow = 2 * GrpcConnection::maximumMessageSize + 2 * grpcPrefixSize;

    constexpr QByteArrayView connectionPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

    // The engine's API outbound, as makeEngineConfig names it: its own queries are not traffic.
    constexpr QStringView apiOutboundTag = u"api";

    void appendUInt32(QByteArray &out, quint32 value)
    {
        const char bytes[4] = { char(value >> 24), char(value >> 16), char(value >> 8), char(value) };
        out.append(bytes, 4);
    }

    void appendFrame(QByteArray &out, quint8 type, quint8 flags, quint32 stream, QByteArrayView payload)
    {
        const auto length = quint32(payload.size());
        const char header[5] = { char(length >> 16), char(length >> 8), char(length), char(type), char(flags) };
        out.append(header, 5);
        appendUInt32(out, stream);
        out.append(payload);
    }

    void appendSetting(QByteArray &out, quint16 identifier, quint32 value)
    {
        out.append(char(identifier >> 8)).append(char(identifier));
        appendUInt32(out, value);
    }

    // An HPACK integer (RFC 7541, 5.1) whose first byte carries the pattern above its prefix.
    void appendHpackInteger(QByteArray &out, quint8 pattern, int prefixBits, quint64 value)
    {
        const quint64 limit = (1u << prefixBits) - 1;
        if (value < limit) {
            out.append(char(pattern | value));
            return;
        }
        out.append(char(pattern | limit));
        value -= limit;
        while (value >= 0x80) {
            out.append(char(0x80 | (value & 0x7f)));
            value >>= 7;
        }
        out.append(char(value));
    }

    // A literal header field without indexing and with a literal name, neither Huffman coded: the
    // engine needs no decoder state from us.
    void appendLiteralField(QByteArray &out, QByteArrayView name, QByteArrayView value)
    {
        out.append('\0');
        appendHpackInteger(out, 0x00, 7, quint64(name.size()));
        out.append(name);
        appendHpackInteger(out, 0x00, 7, quint64(value.size()));
        out.append(value);
    }

    quint32 readUInt32(QByteArrayView bytes, qsizetype at)
    {
        return qFromBigEndian<quint32>(bytes.data() + at);
    }

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

GrpcConnection::GrpcConnection(QByteArrayView authority, QByteArrayView path)
    : m_receiveWindow(receiveWindow)
{
    // The same for every call: built once.
    appendLiteralField(m_headerBlock, ":method", "POST");
    appendLiteralField(m_headerBlock, ":scheme", "http");
    appendLiteralField(m_headerBlock, ":path", path);
    appendLiteralField(m_headerBlock, ":authority", authority);
    appendLiteralField(m_headerBlock, "content-type", "application/grpc");
    appendLiteralField(m_headerBlock, "te", "trailers");
}

QByteArray GrpcConnection::open() const
{
    QByteArray out(connectionPreface.data(), connectionPreface.size());
    QByteArray settings;
    appendSetting(settings, enablePushSetting, 0);
    appendSetting(settings, initialWindowSizeSetting, quint32(receiveWindow));
    appendSetting(settings, maxFrameSizeSetting, quint32(maximumFrameSize));
    appendFrame(out, settingsFrame, 0, 0, settings);
    QByteArray increment;
    appendUInt32(increment, quint32(receiveWindow - defaultWindow));
    appendFrame(out, windowUpdateFrame, 0, 0, increment);
    return out;
}

bool GrpcConnection::canCall() const
{
    return !isBroken() && !m_calling && m_nextStream <= largestStream;
}

QByteArray GrpcConnection::call(QByteArrayView message)
{
    if (isBroken() || m_calling)
        return {};
    if (m_nextStream > largestStream) {
        fail(QStringLiteral("the connection has used up its stream identifiers"));
        return {};
    }
    const qsizetype size = grpcPrefixSize + message.size();
    if (m_headerBlock.size() > maximumFrameSize || size > maximumFrameSize || size > m_sendWindow
        || size > m_streamSendWindow) {
        fail(QStringLiteral("the request does not fit the engine's flow-control window"));
        return {};
    }

    QByteArray out;
    out.reserve(3 * frameHeaderSize + 4 + m_headerBlock.size() + size);
    // The window consumed by earlier answers goes back with the call rather than in a write of its own.
    if (m_consumed > 0) {
        QByteArray increment;
        appendUInt32(increment, quint32(m_consumed));
        appendFrame(out, windowUpdateFrame, 0, 0, increment);
        m_receiveWindow += m_consumed;
        m_consumed = 0;
    }
    m_stream = m_nextStream;
    m_nextStream += 2;
    appendFrame(out, headersFrame, endHeadersFlag, m_stream, m_headerBlock);
    QByteArray body;
    body.reserve(size);
    body.append('\0');
    appendUInt32(body, quint32(message.size()));
    body.append(message);
    appendFrame(out, dataFrame, endStreamFlag, m_stream, body);
    m_sendWindow -= size;
    m_calling = true;
    m_body.clear();
    m_answer.reset();
    return out;
}

QByteArray GrpcConnection::receive(QByteArrayView bytes)
{
    QByteArray reply;
    if (isBroken())
        return reply;
    m_input.append(bytes);
    qsizetype at = 0;
    while (!isBroken() && m_input.size() - at >= frameHeaderSize) {
        const auto *header = reinterpret_cast<const uchar *>(m_input.constData() + at);
        // Before the size: an HTTP/1.1 answer would otherwise read as a huge frame.
        if (!m_settingsSeen && header[3] != settingsFrame) {
            fail(QStringLiteral("the engine does not speak HTTP/2 on its API port"));
            break;
        }
        const qsizetype length = qsizetype(header[0]) << 16 | qsizetype(header[1]) << 8 | header[2];
        if (length > maximumFrameSize) {
            fail(QStringLiteral("the engine sent a frame of %1 bytes, more than %2").arg(length).arg(maximumFrameSize));
            break;
        }
        if (m_input.size() - at - frameHeaderSize < length)
            break;
        const Frame frame { header[3], header[4], qFromBigEndian<quint32>(header + 5) & largestStream,
            QByteArrayView(m_input).sliced(at + frameHeaderSize, length) };
        at += frameHeaderSize + length;
        handle(frame, reply);
    }
    if (isBroken())
        m_input.clear();
    else
        m_input.remove(0, at);
    return reply;
}

std::optional<QByteArray> GrpcConnection::takeAnswer()
{
    return std::exchange(m_answer, std::nullopt);
}

void GrpcConnection::handle(const Frame &frame, QByteArray &reply)
{
    if (m_continuedStream != 0 && (frame.type != continuationFrame || frame.stream != m_continuedStream))
        return fail(QStringLiteral("the engine interrupted a header block"));

    const QByteArrayView payload = frame.payload;
    switch (frame.type) {
    case dataFrame:
        return handleData(frame);
    case headersFrame:
        return handleHeaders(frame);
    case continuationFrame:
        if (m_continuedStream == 0)
            return fail(QStringLiteral("the engine continued a header block it had not begun"));
        if (frame.flags & endHeadersFlag) {
            m_continuedStream = 0;
            if (m_continuedEndsStream && m_calling && frame.stream == m_stream)
                endStream();
        }
        return;
    case resetFrame:
        if (frame.stream == 0 || payload.size() != 4)
            return fail(QStringLiteral("the engine sent a malformed RST_STREAM"));
        if (m_calling && frame.stream == m_stream)
            fail(QStringLiteral("the engine reset the call (error %1)").arg(readUInt32(payload, 0)));
        return;
    case settingsFrame:
        return handleSettings(frame, reply);
    case pushPromiseFrame:
        return fail(QStringLiteral("the engine pushed a stream although push is disabled"));
    case pingFrame:
        if (frame.stream != 0 || payload.size() != 8)
            return fail(QStringLiteral("the engine sent a malformed PING"));
        if (!(frame.flags & ackFlag))
            appendFrame(reply, pingFrame, ackFlag, 0, payload);
        return;
    case goAwayFrame:
        if (frame.stream != 0 || payload.size() < 8)
            return fail(QStringLiteral("the engine sent a malformed GOAWAY"));
        return fail(QStringLiteral("the engine closed the connection (error %1)").arg(readUInt32(payload, 4)));
    case windowUpdateFrame: {
        if (payload.size() != 4)
            return fail(QStringLiteral("the engine sent a malformed WINDOW_UPDATE"));
        const qint64 increment = readUInt32(payload, 0) & largestStream;
        // Each call fits its stream's initial window, so only the connection's window matters.
        if (frame.stream != 0)
            return;
        if (increment == 0 || m_sendWindow + increment > largestWindow)
            return fail(QStringLiteral("the engine sent an invalid window update"));
        m_sendWindow += increment;
        return;
    }
    case priorityFrame:
    default:
        // Unknown frame types are to be ignored.
        return;
    }
}

void GrpcConnection::handleData(const Frame &frame)
{
    if (frame.stream == 0)
        return fail(QStringLiteral("the engine sent DATA outside a stream"));
    QByteArrayView data = frame.payload;
    // Padding counts against the window too.
    m_receiveWindow -= data.size();
    m_consumed += data.size();
    if (m_receiveWindow < 0)
        return fail(QStringLiteral("the engine sent more than the flow-control window allows"));
    if (frame.flags & paddedFlag) {
        if (data.isEmpty() || quint8(data[0]) >= data.size())
            return fail(QStringLiteral("the engine sent DATA with invalid padding"));
        data = data.sliced(1, data.size() - 1 - quint8(data[0]));
    }
    if (!m_calling || frame.stream != m_stream)
        return;
    if (m_body.size() + data.size() > grpcPrefixSize + maximumMessageSize)
        return fail(QStringLiteral("the engine's answer is larger than %1 bytes").arg(maximumMessageSize));
    m_body.append(data);
    if (frame.flags & endStreamFlag)
        endStream();
}

void GrpcConnection::handleHeaders(const Frame &frame)
{
    if (frame.stream == 0)
        return fail(QStringLiteral("the engine sent HEADERS outside a stream"));
    // The header block itself is not decoded (see the class comment).
    const bool endsStream = frame.flags & endStreamFlag;
    if (!(frame.flags & endHeadersFlag)) {
        m_continuedStream = frame.stream;
        m_continuedEndsStream = endsStream;
        return;
    }
    if (endsStream && m_calling && frame.stream == m_stream)
        endStream();
}

void GrpcConnection::handleSettings(const Frame &frame, QByteArray &reply)
{
    const QByteArrayView payload = frame.payload;
    if (frame.stream != 0)
        return fail(QStringLiteral("the engine sent SETTINGS inside a stream"));
    if (frame.flags & ackFlag) {
        if (!payload.isEmpty())
            fail(QStringLiteral("the engine sent a malformed SETTINGS acknowledgement"));
        return;
    }
    if (payload.size() % 6 != 0)
        return fail(QStringLiteral("the engine sent malformed SETTINGS"));
    for (qsizetype at = 0; at < payload.size(); at += 6) {
        const quint16 identifier = qFromBigEndian<quint16>(payload.data() + at);
        const quint32 value = readUInt32(payload, at + 2);
        if (identifier == initialWindowSizeSetting) {
            if (value > largestWindow)
                return fail(QStringLiteral("the engine sent an invalid initial window size"));
            m_streamSendWindow = value;
        }
    }
    m_settingsSeen = true;
    appendFrame(reply, settingsFrame, ackFlag, 0, {});
}

void GrpcConnection::endStream()
{
    m_calling = false;
    const QByteArray body = std::exchange(m_body, {});
    if (body.isEmpty())
        return fail(QStringLiteral("the engine refused the call"));
    if (body.size() < grpcPrefixSize || body[0] != '\0' || readUInt32(body, 1) != quint32(body.size() - grpcPrefixSize))
        return fail(QStringLiteral("the engine's answer is not one whole gRPC message"));
    m_answer = body.sliced(grpcPrefixSize);
}

void GrpcConnection::fail(const QString &reason)
{
    if (m_error.isEmpty())
        m_error = reason;
    m_calling = false;
    m_body.clear();
}

} // namespace statswire
