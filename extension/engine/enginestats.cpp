#include "engine/enginestats.h"

#include "core/foundation/log.h"

#include <QAbstractNetworkCache>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QUrl>

#include <utility>

namespace {

// The engine matches the pattern as a substring of the counter names.
constexpr QByteArrayView outboundCounters = "outbound>>>";

// Keeps nothing. Qt 6.4 takes the trailers that end every answer for a second set of headers and
// then tries to switch caching on after the body, which it refuses with a critical message, once a
// second into our log; with a cache present, caching counts as on since the first headers and it
// stays quiet. Qt never stores answers to POST anyway.
class NoNetworkCache final : public QAbstractNetworkCache {
public:
    explicit NoNetworkCache(QObject *parent)
        : QAbstractNetworkCache(parent)
    {
    }

    QNetworkCacheMetaData metaData(const QUrl &) override { return {}; }
    void updateMetaData(const QNetworkCacheMetaData &) override { }
    QIODevice *data(const QUrl &) override { return nullptr; }
    bool remove(const QUrl &) override { return false; }
    qint64 cacheSize() const override { return 0; }
    QIODevice *prepare(const QNetworkCacheMetaData &) override { return nullptr; }
    void insert(QIODevice *) override { }
    void clear() override { }
};

QNetworkRequest queryStatsRequest(quint16 port)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port);
    url.setPath(QStringLiteral("/v2ray.core.app.stats.command.StatsService/QueryStats"));
    QNetworkRequest request(url);
    // The API port speaks HTTP/2 only, without TLS or an upgrade from HTTP/1.1.
    request.setAttribute(QNetworkRequest::Http2DirectAttribute, true);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/grpc"));
    request.setRawHeader("te", "trailers");
    return request;
}

} // namespace

EngineStats::EngineStats(quint16 apiPort, QObject *parent, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_timeout(timeout)
    , m_request(queryStatsRequest(apiPort))
    , m_body(statswire::grpcFrame(statswire::encodeQueryStatsRequest(outboundCounters, true)))
    , m_network(new QNetworkAccessManager(this))
{
    // Loopback only; this also spares a look-up of the system's proxy on every query.
    m_network->setProxy(QNetworkProxy::NoProxy);
    m_network->setCache(new NoNetworkCache(m_network));
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this,
        [this] { fail(QStringLiteral("the engine did not answer within %1 ms").arg(m_timeout.count())); });
}

EngineStats::~EngineStats()
{
    m_handler = nullptr;
    abandonQuery();
}

bool EngineStats::takeTraffic(Handler handler)
{
    if (!handler || m_handler)
        return false;
    m_handler = std::move(handler);
    m_timer.start(m_timeout);
    // Qt reports even a refused connection from the event loop, never from inside post().
    m_reply = m_network->post(m_request, m_body);
    connect(m_reply, &QNetworkReply::finished, this, &EngineStats::readAnswer);
    return true;
}

void EngineStats::readAnswer()
{
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    // Inside its own signal.
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        return fail(QStringLiteral("the engine's statistics API failed: ") + reply->errorString());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200)
        return fail(QStringLiteral("the engine's statistics API answered with HTTP status %1").arg(status));
    // gRPC puts the call's status in trailers, or in the headers of an answer without a body. Qt 6.4
    // shows trailers among the headers; should it stop doing so, one whole message still means
    // success.
    const QByteArray grpcStatus = reply->rawHeader("grpc-status");
    if (!grpcStatus.isEmpty() && grpcStatus != "0") {
        return fail(QStringLiteral("the engine refused the call (gRPC status %1: %2)")
                        .arg(QString::fromLatin1(grpcStatus),
                            QString::fromUtf8(QByteArray::fromPercentEncoding(reply->rawHeader("grpc-message")))));
    }
    const QByteArray body = reply->readAll();
    const std::optional<QByteArrayView> message = statswire::grpcMessage(body);
    if (!message)
        return fail(QStringLiteral("the engine's answer is not one whole gRPC message"));
    const std::optional<QList<EngineStat>> stats = statswire::decodeQueryStatsResponse(*message);
    const std::optional<EngineTraffic> traffic = stats ? statswire::trafficFromStats(*stats) : std::nullopt;
    if (!traffic)
        return fail(QStringLiteral("the engine's statistics are malformed"));
    finish(traffic, {});
}

void EngineStats::fail(const QString &reason)
{
    abandonQuery();
    // A connection that went wrong once is not trusted with the next query: the engine may have
    // hung or been replaced.
    m_network->clearConnectionCache();
    finish(std::nullopt, reason);
}

void EngineStats::abandonQuery()
{
    if (!m_reply)
        return;
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
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
    // From the event loop, not from inside a signal of the reply: the handler may destroy this
    // object, and the reply with it.
    QMetaObject::invokeMethod(
        this, [handler = std::exchange(m_handler, nullptr), traffic] { handler(traffic); }, Qt::QueuedConnection);
}
