#pragma once

#include "core/catalogue/serversettings.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>

// Whether a server is reachable: a TCP connection to its address and port within the time-out.
// At most maximumInFlight attempts run at once and the rest wait in order, so any number of checks
// stays within a fixed number of file descriptors. Host names resolve asynchronously.
class StatusChecker final : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(OnlineStatus)>;

    explicit StatusChecker(QObject *parent = nullptr, int maximumInFlight = 64,
        std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The handler runs exactly once with online or offline, possibly before check() returns
    // (an empty host or a port outside 1...65535 is offline at once). Pending handlers are
    // dropped when the checker is destroyed.
    void check(const QString &host, qint64 port, Handler handler);

    int inFlight() const { return m_inFlight; }
    qsizetype queued() const { return qsizetype(m_queue.size()); }

private:
    struct Pending {
        QString host;
        quint16 port;
        Handler handler;
    };

    void startNext();
    void begin(Pending pending);

    const int m_maximumInFlight;
    const std::chrono::milliseconds m_timeout;
    int m_inFlight = 0;
    std::deque<Pending> m_queue;
};
