#pragma once

#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <utility>

// A loopback HTTP/1.1 server with canned answers per path. A path without an answer is held open
// without a reply, which is how a stalled provider looks.
class LocalHttpServer final : public QTcpServer {
public:
    LocalHttpServer()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
        });
    }

    // Answers the requests that found no body, with the bodies set since.
    void answerWaiting()
    {
        const auto waiting = std::exchange(m_waiting, {});
        for (const auto &[socket, path] : waiting) {
            if (socket)
                reply(socket, path);
        }
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }

    QHash<QString, QByteArray> bodies;
    QHash<QString, int> hits;
    // The first bytes of each connection, to tell plain HTTP from a TLS handshake.
    QList<QByteArray> openings;

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &pending = m_pending[socket];
        if (pending.isEmpty())
            openings.append(socket->peek(8));
        // Plain HTTP only: a TLS client hello is turned away.
        if (socket->peek(1) == QByteArray(1, '\x16')) {
            socket->abort();
            return;
        }
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(pending.split(' ').value(1));
        m_pending.remove(socket);
        ++hits[path];
        if (!reply(socket, path))
            m_waiting.append({ socket, path });
    }

    bool reply(QTcpSocket *socket, const QString &path)
    {
        const auto body = bodies.constFind(path);
        if (body == bodies.cend())
            return false;
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: "
            + QByteArray::number(body->size()) + "\r\n\r\n" + *body);
        socket->disconnectFromHost();
        return true;
    }

    QHash<QTcpSocket *, QByteArray> m_pending;
    QList<std::pair<QPointer<QTcpSocket>, QString>> m_waiting;
};
