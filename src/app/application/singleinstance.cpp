#include "app/application/singleinstance.h"

#include "core/foundation/appid.h"
#include "core/foundation/log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray showRequest = "show\n";
const QByteArray acknowledgement = "ok\n";

} // namespace

SingleInstance::SingleInstance(QString directory, QObject *parent)
    : QObject(parent)
    , m_directory(std::move(directory))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::serve);
}

SingleInstance::~SingleInstance()
{
    m_server.close();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString SingleInstance::defaultDirectory()
{
    return appRuntimeDirectory();
}

QString SingleInstance::socketPath() const
{
    return m_directory + QStringLiteral("/app.sock");
}

SingleInstance::Role SingleInstance::start()
{
    const QByteArray directory = QFile::encodeName(m_directory);
    if (::mkdir(directory.constData(), 0700) != 0 && errno != EEXIST) {
        logError(QStringLiteral("Cannot create %1: %2").arg(m_directory, QString::fromLocal8Bit(strerror(errno))));
        return Role::unguarded;
    }
    const QByteArray lockPath = directory + "/app.lock";
    m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        logError(QStringLiteral("Cannot open the instance lock: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return Role::unguarded;
    }
    // The lock, not the socket, decides: it goes with the process however that ends, so a
    // crashed program never keeps the next start out.
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
        return Role::secondary;
    }
    // A socket file left by a program that crashed; the lock says nobody serves it.
    QLocalServer::removeServer(socketPath());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(socketPath()))
        logError(QStringLiteral("Cannot listen for later starts: %1").arg(m_server.errorString()));
    return Role::primary;
}

bool SingleInstance::askPrimaryToShow(std::chrono::milliseconds timeout) const
{
    const QDeadlineTimer deadline(timeout);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(showRequest);
            QByteArray answer;
            while (answer.size() < acknowledgement.size() && socket.waitForReadyRead(int(deadline.remainingTime())))
                answer += socket.readAll();
            return answer.startsWith(acknowledgement);
        }
        // The program holds the lock but is not listening yet.
        QThread::msleep(50);
    }
    return false;
}

void SingleInstance::serve()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A caller that never speaks is not kept.
        QTimer::singleShot(2000, socket, [socket] { socket->disconnectFromServer(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // A request is one short line; anything else, or more, ends the conversation.
            if (socket->bytesAvailable() < showRequest.size())
                return;
            const QByteArray request = socket->read(showRequest.size());
            if (request == showRequest) {
                socket->write(acknowledgement);
                Q_EMIT showRequested();
            }
            socket->disconnectFromServer();
        });
    }
}
