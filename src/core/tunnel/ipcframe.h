#pragma once

#include <QByteArray>

#include <optional>

// Frames between the application and the tunnel program: length, kind, id, payload.
namespace ipc {

enum class Kind : quint8 {
    hello = 1,
    helloReply = 2,
    start = 3,
    stop = 4,
    request = 5,
    response = 6,
    emptyResponse = 7,
    status = 8,
    error = 9,
};

inline constexpr int protocolVersion = 1;
// A fetched subscription may be tens of megabytes; anything beyond this is refused.
inline constexpr quint32 maximumPayload = 64u << 20;

struct Frame {
    Kind kind = Kind::hello;
    quint32 id = 0;
    QByteArray payload;
    friend bool operator==(const Frame &, const Frame &) = default;
};

QByteArray encode(const Frame &frame);

// Collects bytes as they arrive and hands out complete frames.
class FrameReader {
public:
    void append(const QByteArray &bytes) { m_buffer.append(bytes); }
    // The next complete frame, or nothing while one is still incomplete.
    // Sets failed() on a length or kind that breaks the protocol; the connection must then be closed.
    std::optional<Frame> next();
    bool failed() const { return m_failed; }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    bool m_failed = false;
};

} // namespace ipc
