#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QThread>
#include <QUrl>

#include <optional>

// The tests' one HTTP/1.1 server, on 127.0.0.1, answering from a table of routes by path. It serves
// from a thread of its own, so a client that blocks the test's thread cannot stall it. Every answer
// closes its connection. Without a route: "/" is page(), "/generate_204" a 204, "/bytes/<n>" n bytes
// made as they are sent (100 MB cost no memory), anything else 404.
class TestHttpServer final {
public:
    struct Response {
        int status = 200;
        QByteArray body {};
        // The target of a redirect.
        QByteArray location {};
        // Announces this length and sends the head only, which leaves the client waiting.
        qint64 announced = -1;
        // No answer until release(); the route in place then answers.
        bool held = false;
        // Further header lines, each ending in "\r\n".
        QByteArray headers {};
    };
    struct Request {
        QByteArray method;
        // As it came, origin or absolute form; "TLS" for a TLS client hello, which is turned away.
        QByteArray target;
        // The Host header, "" when there was none.
        QByteArray host;
    };

    TestHttpServer();
    ~TestHttpServer();
    Q_DISABLE_COPY_MOVE(TestHttpServer)

    // Listens on `port` (0: a free one) of `address`; once it returns true, connections are
    // accepted. Its thread, and so its socket, is in the network namespace of the calling thread.
    bool start(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const { return m_port; }
    // http://<host>:<port><path>
    QUrl url(const QString &path, const QString &host = QStringLiteral("127.0.0.1")) const;

    void route(const QByteArray &path, Response response);
    void route(const QByteArray &path, const QByteArray &body) { route(path, Response { 200, body }); }
    // Answers the held requests with the routes in place now.
    void release();

    static QByteArray page();
    // Every request so far, in order; safe from any thread.
    QList<Request> requests() const;
    int hits(const QByteArray &path) const;

private:
    friend class HttpConnection;
    std::optional<Response> routeFor(const QByteArray &path) const;
    void record(const Request &request);

    QThread m_thread;
    // Lives in m_thread and owns the server and its connections there.
    QObject *m_home = nullptr;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QHash<QByteArray, Response> m_routes;
    QList<Request> m_requests;
};
