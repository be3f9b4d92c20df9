#include "engine/enginestats.h"

#include "core/foundation/log.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <utility>

namespace {

constexpr QByteArrayView queryStatsPath = "/v2ray.core.app.stats.command.StatsService/QueryStats";
// The engine matches the pattern as a substring of the counter names.
constexpr QByteArrayView outboundCounters = "outbound>>>";

} // namespace

EngineStats::EngineStats(quint16 apiPort, QObject *parent, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_port(apiPort)
    , m_timeout(timeout)
    , m_request(statswire::encodeQueryStatsRequest(outboundCounters, true))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // The answer may still come; a fresh connection is the only way to be sure not to take it
        // for the next query's.
        dropConnection();
        finish(std::nullopt, QStringLiteral("the engine did not answer within %1 ms").arg(m_timeout.count()));
    });
}

EngineStats::~EngineStats()
{
    m_handler = nullptr;
    dropConnection();
}

bool EngineStats::takeTraffic(Handler handler)
{
    if (!handler || m_handler)
        return false;
    m_handler = std::move(handler);
    m_timer.start(m_timeout);
    if (m_connection && m_connection->canCall()) {
        const QByteArray frames = m_connection->call(m_request);
        if (!frames.isEmpty()) {
            m_socket->write(frames);
            return true;
        }
    }
    dropConnection();
    // Queued: the socket may report a refused connection from inside connectToHost().
    QMetaObject::invokeMethod(this, &EngineStats::connectToEngine, Qt::QueuedConnection);
    return true;
}

void EngineStats::connectToEngine()
{
    // Timed out before the event loop came round.
    if (!m_handler || m_socket)
        return;
    m_socket = new QTcpSocket(this);
    m_socket->setProxy(QNetworkProxy::NoProxy);
    const QByteArray authority = "127.0.0.1:" + QByteArray::number(m_port);
    m_connection = std::make_unique<statswire::GrpcConnection>(authority, queryStatsPath);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        // Every query is a small write waiting for its answer: nothing to gain from Nagle.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QByteArray frames = m_connection->call(m_request);
        if (frames.isEmpty()) {
            const QString reason = m_connection->error();
            dropConnection();
            finish(std::nullopt, reason);
            return;
        }
        m_socket->write(m_connection->open() + frames);
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &EngineStats::readAnswer);
    connect(m_socket, &QTcpSocket::disconnected, this, &EngineStats::connectionLost);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &EngineStats::connectionLost);
    m_socket->connectToHost(QHostAddress::LocalHost, m_port);
}

void EngineStats::readAnswer()
{
    const QByteArray reply = m_connection->receive(m_socket->readAll());
    std::optional<QByteArray> answer = m_connection->takeAnswer();
    if (m_connection->isBroken()) {
        const QString reason = m_connection->error();
        dropConnection();
        if (!answer) {
            finish(std::nullopt, QStringLiteral("the engine's statistics API failed: ") + reason);
            return;
        }
    } else if (!reply.isEmpty()) {
        m_socket->write(reply);
    }
    if (!answer)
        return;
    const std::optional<QList<EngineStat>> stats = statswire::decodeQueryStatsResponse(*answer);
    std::optional<EngineTraffic> traffic = stats ? statswire::trafficFromStats(*stats) : std::nullopt;
    if (!traffic) {
        dropConnection();
        finish(std::nullopt, QStringLiteral("the engine's statistics are malformed"));
        return;
    }
    finish(traffic, {});
}

void EngineStats::connectionLost()
{
    const QString reason = m_socket->errorString();
    dropConnection();
    finish(std::nullopt, QStringLiteral("the connection to the engine's statistics API failed: ") + reason);
}

void EngineStats::dropConnection()
{
    m_connection.reset();
    if (!m_socket)
        return;
    QTcpSocket *socket = std::exchange(m_socket, nullptr);
    socket->disconnect(this);
    socket->abort();
    // Possibly inside one of its own signals.
    socket->deleteLater();
}

void EngineStats::finish(std::optional<EngineTraffic> traffic, const QString &error)
{
    m_timer.stop();
    if (!m_handler)
        return;
    // Logged when reading starts or stops failing, not once a second.
    if (!error.isEmpty() && m_lastError.isEmpty())
        logInfo(QStringLiteral("The engine's traffic counters cannot be read: ") + error);
    else if (error.isEmpty() && !m_lastError.isEmpty())
        logInfo(QStringLiteral("The engine's traffic counters can be read again"));
    m_lastError = error;
    // From the event loop, not from inside a signal of the socket: the handler may destroy this
    // object, and the socket with it.
    QMetaObject::invokeMethod(
        this, [handler = std::exchange(m_handler, nullptr), traffic] { handler(traffic); }, Qt::QueuedConnection);
}
