#include "service/statuschecker.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

StatusChecker::StatusChecker(QObject *parent, int maximumInFlight, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_maximumInFlight(std::max(1, maximumInFlight))
    , m_timeout(timeout)
{
}

void StatusChecker::check(const QString &host, qint64 port, Handler handler)
{
    QString name = host.trimmed();
    // An IPv6 literal may come as in a URL; the socket takes it bare and would look "[::1]" up as a name.
    if (name.size() > 2 && name.startsWith(u'[') && name.endsWith(u']'))
        name = name.sliced(1, name.size() - 2);
    if (name.isEmpty() || port < 1 || port > 65535) {
        handler(OnlineStatus::offline);
        return;
    }
    m_queue.push_back(Pending { name, quint16(port), std::move(handler) });
    startNext();
}

void StatusChecker::startNext()
{
    // An attempt may finish inside begin() and call this again; the loop re-reads both bounds.
    while (m_inFlight < m_maximumInFlight && !m_queue.empty()) {
        Pending pending = std::move(m_queue.front());
        m_queue.pop_front();
        begin(std::move(pending));
    }
}

void StatusChecker::begin(Pending pending)
{
    struct Attempt {
        QTcpSocket *socket = nullptr;
        Handler handler;
        bool done = false;
    };
    auto attempt = std::make_shared<Attempt>();
    attempt->socket = new QTcpSocket(this);
    attempt->handler = std::move(pending.handler);
    ++m_inFlight;

    auto finish = [this, attempt](OnlineStatus status) {
        if (attempt->done)
            return;
        attempt->done = true;
        QTcpSocket *socket = attempt->socket;
        // Nothing from this socket reaches us again; it goes with the next event loop pass.
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        --m_inFlight;
        const Handler handler = std::move(attempt->handler);
        handler(status);
        startNext();
    };
    connect(attempt->socket, &QTcpSocket::connected, this, [finish] { finish(OnlineStatus::online); });
    connect(attempt->socket, &QTcpSocket::errorOccurred, this, [finish] { finish(OnlineStatus::offline); });
    // Tied to the socket: deleting it cancels the timer.
    QTimer::singleShot(m_timeout, attempt->socket, [finish] { finish(OnlineStatus::offline); });
    attempt->socket->connectToHost(pending.host, pending.port);
}
