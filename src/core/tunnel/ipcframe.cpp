#include "core/tunnel/ipcframe.h"

#include <QtEndian>

namespace ipc {

namespace {
    constexpr qsizetype headerSize = 4 + 1 + 4;
}

QByteArray encode(const Frame &frame)
{
    QByteArray bytes(headerSize, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(frame.payload.size() + 5), bytes.data());
    bytes[4] = char(frame.kind);
    qToBigEndian<quint32>(frame.id, bytes.data() + 5);
    bytes.append(frame.payload);
    return bytes;
}

std::optional<Frame> FrameReader::next()
{
    if (m_failed)
        return std::nullopt;
    const qsizetype available = m_buffer.size() - m_offset;
    if (available < 4)
        return std::nullopt;
    const char *data = m_buffer.constData() + m_offset;
    const quint32 length = qFromBigEndian<quint32>(data);
    if (length < 5 || length > maximumPayload + 5) {
        m_failed = true;
        return std::nullopt;
    }
    if (available < 4 + qsizetype(length))
        return std::nullopt;
    const auto kind = quint8(data[4]);
    if (kind < quint8(Kind::hello) || kind > quint8(Kind::error)) {
        m_failed = true;
        return std::nullopt;
    }
    Frame frame { Kind(kind), qFromBigEndian<quint32>(data + 5), QByteArray(data + headerSize, length - 5) };
    m_offset += 4 + length;
    // Drop consumed bytes now and then rather than on every frame.
    if (m_offset == m_buffer.size() || (m_offset > (1 << 16) && m_offset * 2 > m_buffer.size())) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    return frame;
}

} // namespace ipc
