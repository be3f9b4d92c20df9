#include "service/tunnelserver.h"

#include "core/foundation/jsoncoding.h"
#include "core/foundation/log.h"
#include "core/tunnel/tunnelmessages.h"
#include "core/tunnel/tunnelprovidererror.h"
#include "service/lasterror.h"
#include "service/tunnelservice.h"
#include "service/tunnelversion.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>

namespace {

QByteArray statusPayload(VPNStatus status)
{
    Json j = Json::object();
    j["status"] = int(status);
    return json::serialize(j);
}

QString kindName(ipc::Kind kind)
{
    switch (kind) {
    case ipc::Kind::hello:
        return QStringLiteral("hello");
    case ipc::Kind::helloReply:
        return QStringLiteral("helloReply");
    case ipc::Kind::start:
        return QStringLiteral("start");
    case ipc::Kind::stop:
        return QStringLiteral("stop");
    case ipc::Kind::request:
        return QStringLiteral("request");
    case ipc::Kind::response:
        return QStringLiteral("response");
    case ipc::Kind::emptyResponse:
        return QStringLiteral("emptyResponse");
    case ipc::Kind::status:
        return QStringLiteral("status");
    case ipc::Kind::error:
        return QStringLiteral("error");
    }
    return QString::number(int(kind));
}

// Creates the socket's directory, readable by the user alone, unless it is there already.
bool makeSocketDirectory(const QString &directory)
{
    if (QFileInfo(directory).isDir())
        return true;
    const QFileInfo info(directory);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // Another process may create it at the same moment.
    return info.absoluteDir().mkdir(
               info.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)
        || QFileInfo(directory).isDir();
}

} // namespace

TunnelServer::TunnelServer(
    QString socketPath, TunnelService *service, QObject *parent, std::chrono::milliseconds orphanTimeout)
    : QObject(parent)
    , m_socketPath(QFileInfo(socketPath).absoluteFilePath())
    , m_lastErrorPath(::lastErrorPath(m_socketPath))
    , m_service(service)
{
    m_orphanTimer.setSingleShot(true);
    m_orphanTimer.setInterval(orphanTimeout);
    connect(m_service, &TunnelService::engineFailed, this,
        [this](const TunnelProviderError &error) { failTunnel(nullptr, 0, error); });
    connect(&m_orphanTimer, &QTimer::timeout, this, [this] {
        m_orphanTimeoutPassed = true;
        checkOrphan();
    });
}

TunnelServer::~TunnelServer()
{
    for (auto &[socket, reader] : m_clients)
        socket->disconnect(this);
    if (m_server && m_server->isListening())
        m_server->close();
}

bool TunnelServer::listen()
{
    const QString directory = QFileInfo(m_socketPath).absolutePath();
    if (!makeSocketDirectory(directory)) {
        logError(QStringLiteral("Cannot create the socket directory %1").arg(directory));
        return false;
    }

    // Held while probing and binding, so two tunnels starting together cannot both take the path.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(2000)) {
        logError(QStringLiteral("Another tunnel is starting on %1").arg(m_socketPath));
        return false;
    }
    if (QFileInfo::exists(m_socketPath) || QFileInfo(m_socketPath).isSymLink()) {
        QLocalSocket probe;
        probe.connectToServer(m_socketPath);
        if (probe.waitForConnected(1000)) {
            logError(QStringLiteral("Another tunnel is already listening on %1").arg(m_socketPath));
            return false;
        }
        // Left by a tunnel that did not end cleanly.
        logInfo(QStringLiteral("Removing the stale socket %1").arg(m_socketPath));
        QLocalServer::removeServer(m_socketPath);
    }

    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        const QString reason = QStringLiteral("cannot listen on %1: %2").arg(m_socketPath, m_server->errorString());
        logError(reason);
        writeLastError(m_lastErrorPath, TunnelProviderError(TunnelProviderError::Code::startBackend, reason));
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &TunnelServer::acceptConnections);
    m_orphanTimer.start();
    logInfo(QStringLiteral("Tunnel %1 listening on %2").arg(tunnelVersion(), m_socketPath));
    return true;
}

void TunnelServer::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        if (m_finishing) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_clients.emplace(socket, ipc::FrameReader {});
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { dropClient(socket); });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void TunnelServer::readFrom(QLocalSocket *socket)
{
    if (const auto it = m_clients.find(socket); it != m_clients.end())
        it->second.append(socket->readAll());
    for (;;) {
        // Handling a frame may end the tunnel or lose the connection; look again each time.
        const auto it = m_clients.find(socket);
        if (m_finishing || it == m_clients.end())
            return;
        const std::optional<ipc::Frame> frame = it->second.next();
        if (!frame) {
            if (it->second.failed()) {
                logError(QStringLiteral("Closing a connection that sent a malformed frame"));
                closeClient(socket);
            }
            return;
        }
        if (!handleFrame(socket, *frame)) {
            logError(QStringLiteral("Closing a connection that sent a %1 frame").arg(kindName(frame->kind)));
            closeClient(socket);
            return;
        }
    }
}

void TunnelServer::dropClient(QLocalSocket *socket)
{
    if (m_clients.erase(socket) == 0)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    checkOrphan();
}

void TunnelServer::closeClient(QLocalSocket *socket)
{
    if (m_clients.erase(socket) == 0)
        return;
    socket->disconnect(this);
    // What was answered before the bad frame still goes out; later answers are dropped. A peer
    // that reads nothing is cut off after a while.
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(std::chrono::seconds(5), socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->disconnectFromServer();
    checkOrphan();
}

bool TunnelServer::handleFrame(QLocalSocket *socket, const ipc::Frame &frame)
{
    switch (frame.kind) {
    case ipc::Kind::hello:
        handleHello(socket, frame);
        return true;
    case ipc::Kind::start:
        handleStart(socket, frame);
        return true;
    case ipc::Kind::stop:
        handleStop(socket, frame);
        return true;
    case ipc::Kind::request:
        handleRequest(socket, frame);
        return true;
    case ipc::Kind::helloReply:
    case ipc::Kind::response:
    case ipc::Kind::emptyResponse:
    case ipc::Kind::status:
    case ipc::Kind::error:
        // The tunnel sends these; it never receives them.
        return false;
    }
    return false;
}

void TunnelServer::handleHello(QLocalSocket *socket, const ipc::Frame &frame)
{
    try {
        const Json hello = json::parse(frame.payload);
        if (json::int64At(hello, "protocol") != ipc::protocolVersion)
            logError(QStringLiteral("A client speaks protocol %1; this tunnel speaks %2")
                         .arg(json::int64At(hello, "protocol"))
                         .arg(ipc::protocolVersion));
    } catch (const Error &error) {
        logError(QStringLiteral("A client's hello does not decode: %1").arg(error.description()));
    }
    // Answered either way: the application decides what a protocol it does not know means.
    Json reply = Json::object();
    reply["protocol"] = ipc::protocolVersion;
    reply["version"] = json::fromString(tunnelVersion());
    reply["status"] = int(m_status);
    send(socket, ipc::Kind::helloReply, frame.id, json::serialize(reply));
}

void TunnelServer::handleStart(QLocalSocket *socket, const ipc::Frame &frame)
{
    // A tunnel runs one configuration for its life: a second start, whoever sends it, must neither
    // replace the application's configuration nor end the tunnel. Only its sender is told.
    if (m_started) {
        logError(QStringLiteral("Refusing a second start"));
        send(socket, ipc::Kind::response, frame.id,
            encodeTunnelRequestResult(
                TunnelResults::Failure { QStringLiteral("Cannot start tunnel: the tunnel has already been started") }));
        return;
    }
    // Starting the engine takes a moment; the tunnel no longer counts as abandoned meanwhile.
    m_started = true;
    m_orphanTimer.stop();
    m_service->start(frame.payload,
        [self = QPointer<TunnelServer>(this), asking = QPointer<QLocalSocket>(socket), id = frame.id](
            const std::optional<TunnelProviderError> &failure) {
            if (!self || self->m_finishing)
                return;
            if (failure) {
                self->failTunnel(asking, id, *failure);
                return;
            }
            removeLastError(self->m_lastErrorPath);
            self->announceStatus(VPNStatus::connected, asking, id);
        });
}

void TunnelServer::failTunnel(QLocalSocket *socket, quint32 id, const TunnelProviderError &error)
{
    logError(error.description());
    // On disk first: whoever sees the frames or the closed socket finds the reason there.
    writeLastError(m_lastErrorPath, error);
    QByteArray errorPayload;
    try {
        errorPayload = json::serialize(encodePlatformError(PlatformError(error)));
    } catch (const Error &failure) {
        logError(QStringLiteral("Cannot encode the error: %1").arg(failure.description()));
    }
    if (!errorPayload.isEmpty()) {
        for (const auto &[client, reader] : m_clients)
            send(client, ipc::Kind::error, 0, errorPayload);
    }
    announceStatus(VPNStatus::disconnected, socket, id);
    finish(1);
}

void TunnelServer::handleStop(QLocalSocket *socket, const ipc::Frame &frame)
{
    logInfo(QStringLiteral("Stopping on request"));
    announceStatus(VPNStatus::disconnecting, socket, frame.id);
    finish(0);
}

void TunnelServer::handleRequest(QLocalSocket *socket, const ipc::Frame &frame)
{
    m_service->answer(frame.payload,
        [self = QPointer<TunnelServer>(this), target = QPointer<QLocalSocket>(socket), id = frame.id](
            const QByteArray &answer) {
            // The connection, or the whole server, may have gone while the answer was being made.
            if (!self || !target || self->m_finishing || !self->m_clients.contains(target.data()))
                return;
            if (answer.size() > qsizetype(ipc::maximumPayload)) {
                logError(QStringLiteral("An answer of %1 bytes does not fit a frame").arg(answer.size()));
                self->send(target, ipc::Kind::response, id,
                    encodeTunnelRequestResult(
                        TunnelResults::Failure { QStringLiteral("The answer is too large to send") }));
                return;
            }
            self->send(target, answer.isEmpty() ? ipc::Kind::emptyResponse : ipc::Kind::response, id, answer);
        });
}

void TunnelServer::send(QLocalSocket *socket, ipc::Kind kind, quint32 id, const QByteArray &payload)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    socket->write(ipc::encode(ipc::Frame { kind, id, payload }));
}

void TunnelServer::announceStatus(VPNStatus status, QLocalSocket *asking, quint32 id)
{
    const bool changed = status != m_status;
    m_status = status;
    const QByteArray payload = statusPayload(status);
    if (asking)
        send(asking, ipc::Kind::status, id, payload);
    if (!changed)
        return;
    for (const auto &[client, reader] : m_clients) {
        if (client != asking)
            send(client, ipc::Kind::status, 0, payload);
    }
}

void TunnelServer::checkOrphan()
{
    if (m_finishing || m_started || !m_orphanTimeoutPassed || !m_clients.empty())
        return;
    logInfo(QStringLiteral("No configuration arrived within %1 seconds and nobody is connected; ending")
                .arg(double(m_orphanTimer.interval()) / 1000.0));
    finish(0);
}

void TunnelServer::terminate()
{
    if (m_finishing)
        return;
    logInfo(QStringLiteral("Stopping on a termination signal"));
    announceStatus(VPNStatus::disconnecting, nullptr, 0);
    finish(0);
}

void TunnelServer::finish(int exitCode)
{
    if (m_finishing)
        return;
    m_finishing = true;
    m_orphanTimer.stop();
    m_service->shutdown();
    // Blocking is fine now: nothing else will be served. A client that does not read gets a second.
    for (const auto &[socket, reader] : m_clients) {
        socket->disconnect(this);
        while (socket->state() == QLocalSocket::ConnectedState && socket->bytesToWrite() > 0
            && socket->waitForBytesWritten(1000)) { }
        socket->disconnectFromServer();
        socket->deleteLater();
    }
    m_clients.clear();
    if (m_server && m_server->isListening()) {
        m_server->close();
        if (QFileInfo::exists(m_socketPath))
            QLocalServer::removeServer(m_socketPath);
    }
    QMetaObject::invokeMethod(
        this, [this, exitCode] { Q_EMIT finished(exitCode); }, Qt::QueuedConnection);
}
