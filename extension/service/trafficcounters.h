#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include <atomic>

// Bytes moved by the tunnel, sampled once a second into a 60-bar history per direction. The
// engine's counters are added as they are read (from any thread); getGraphData reads the snapshot.
class TrafficCounters final : public QObject {
    Q_OBJECT

public:
    static constexpr int barsPerSeries = 60;
    // A bar byte of this value fills the application's graph height.
    static constexpr int fullBar = 10;

    explicit TrafficCounters(QObject *parent = nullptr);

    // Thread-safe.
    void addReceived(qint64 bytes) { m_pendingReceived.fetch_add(bytes, std::memory_order_relaxed); }
    void addSent(qint64 bytes) { m_pendingSent.fetch_add(bytes, std::memory_order_relaxed); }

    // Closes the current second: its bytes become the newest bar and the current speeds. The
    // tunnel calls it once a second, right after reading the engine's counters.
    void sample();

    // Bytes per second over the last closed second.
    qint64 receiveSpeed() const { return m_received.first(); }
    qint64 sendSpeed() const { return m_sent.first(); }

    // 4 × barsPerSeries bytes, newest bar first in each series, in the order of the graph-data
    // answer: send background, receive background, receive values, send values. A value bar is
    // the second's speed scaled to the busiest second shown (fullBar); a background bar is fullBar
    // for every second that moved anything. All zero while nothing moves.
    QByteArray graphBytes() const;

private:
    std::atomic<qint64> m_pendingReceived { 0 };
    std::atomic<qint64> m_pendingSent { 0 };
    // Bytes per second, newest first, always barsPerSeries long.
    QList<qint64> m_received;
    QList<qint64> m_sent;
};
