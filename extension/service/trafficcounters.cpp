#include "service/trafficcounters.h"

#include <algorithm>
#include <cmath>

namespace {

void push(QList<qint64> &history, qint64 value)
{
    history.prepend(std::max<qint64>(value, 0));
    history.removeLast();
}

// Value bars, then background bars, of one direction.
std::pair<QByteArray, QByteArray> bars(const QList<qint64> &history)
{
    const qint64 peak = *std::max_element(history.cbegin(), history.cend());
    QByteArray values(history.size(), '\0');
    QByteArray backgrounds(history.size(), '\0');
    for (qsizetype i = 0; i < history.size() && peak > 0; ++i) {
        const qint64 speed = history.at(i);
        if (speed == 0)
            continue;
        // At least one segment for any traffic at all.
        const auto scaled = qint64(std::llround(double(speed) * TrafficCounters::fullBar / double(peak)));
        values[i] = char(std::clamp<qint64>(scaled, 1, TrafficCounters::fullBar));
        backgrounds[i] = char(TrafficCounters::fullBar);
    }
    return { values, backgrounds };
}

} // namespace

TrafficCounters::TrafficCounters(QObject *parent)
    : QObject(parent)
    , m_received(barsPerSeries, 0)
    , m_sent(barsPerSeries, 0)
{
}

void TrafficCounters::sample()
{
    push(m_received, m_pendingReceived.exchange(0, std::memory_order_relaxed));
    push(m_sent, m_pendingSent.exchange(0, std::memory_order_relaxed));
}

QByteArray TrafficCounters::graphBytes() const
{
    const auto [receiveValues, receiveBackgrounds] = bars(m_received);
    const auto [sendValues, sendBackgrounds] = bars(m_sent);
    return sendBackgrounds + receiveBackgrounds + receiveValues + sendValues;
}
