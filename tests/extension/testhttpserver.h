#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QThread>
#include <QUrl>

namespace peers {

// The HTTP/1.1 site that end-to-end tests and benchmarks fetch, on 127.0.0.1. It serves from a
// thread of its own, so a client busy in the caller's thread cannot slow it down:
//   GET /              page()
//   GET /generate_204  204 No Content
//   GET /bytes/<n>     n bytes, made as they are sent, so 100 MB cost no memory
//   GET /subscription  the body given to setSubscription()
// anything else is 404 (405 for other methods). Every answer closes its connection.
class HttpDestination final {
public:
    struct Request {
        QByteArray method;
        // As it came, origin form ("/bytes/10") or absolute form.
        QByteArray target;
        // The Host header, "" when there was none.
        QByteArray host;
    };

    HttpDestination();
    ~HttpDestination();
    Q_DISABLE_COPY_MOVE(HttpDestination)

    // Listens on a free port; once it returns true, connections are accepted.
    bool start();
    quint16 port() const { return m_port; }
    // http://<host>:<port><path>
    QUrl url(const QString &path, const QString &host = QStringLiteral("127.0.0.1")) const;
    // "<host>:<port>", the Host header a client of url(path, host) sends.
    QByteArray hostHeader(const QString &host = QStringLiteral("127.0.0.1")) const;

    static QByteArray page();
    void setSubscription(const QByteArray &body);

    // Every request that arrived so far, in order; safe from any thread.
    QList<Request> requests() const;

private:
    friend class DestinationConnection;
    QByteArray subscription() const;
    void record(Request request);

    QThread m_thread;
    // Lives in m_thread and owns the server and its connections there.
    QObject *m_home = nullptr;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QList<Request> m_requests;
    QByteArray m_subscription;
};

} // namespace peers
