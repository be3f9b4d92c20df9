#include "app/catalogue/subscriptionloader.h"

#include "core/catalogue/proxyuriparser.h"
#include "core/foundation/log.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QThread>
#include <QtConcurrentRun>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

std::chrono::milliseconds g_timeout = std::chrono::seconds(20);

// The coroutine resumes inside the reply's finished() signal, where deleting it is unsafe.
struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

// Answers with an HTTP status other than 2xx still carry the content the provider chose to send.
bool isHttpStatusError(const QNetworkReply &reply)
{
    const int code = reply.error();
    const bool httpLevel = (code >= 201 && code <= 299) || (code >= 401 && code <= 499);
    return httpLevel && reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

QList<ServerPtr> decode(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        throw UndecodableContentError();
    return parseSubscriptionBody(text);
}

// A subscription decoded away from the thread that asked for it; an error travels back as it was thrown.
struct Decoded {
    QList<ServerPtr> servers;
    std::exception_ptr error;
};

Decoded decodeFor(const QByteArray &bytes, QThread *home)
{
    Decoded result;
    try {
        result.servers = decode(bytes);
        // Servers are QObjects: they belong to the thread that uses them.
        for (const ServerPtr &server : std::as_const(result.servers))
            server->moveToThread(home);
    } catch (...) {
        result.error = std::current_exception();
    }
    return result;
}

// A body of many megabytes, or lines made to be slow to read, would stall the GUI: it is decoded
// on a worker.
QCoro::Task<QList<ServerPtr>> decodeOnWorker(QByteArray bytes)
{
    // Named: with the future a temporary inside co_await, GCC 12 freed its captures twice here.
    const QFuture<Decoded> running = QtConcurrent::run(&decodeFor, std::move(bytes), QThread::currentThread());
    Decoded decoded = co_await running;
    if (decoded.error)
        std::rethrow_exception(decoded.error);
    co_return std::move(decoded.servers);
}

} // namespace

DownloadError::DownloadError(QNetworkReply::NetworkError code, QString host, QString detail)
    : m_code(code)
    , m_host(std::move(host))
    , m_detail(std::move(detail))
{
}

DownloadError DownloadError::badURL(QString text)
{
    DownloadError error(QNetworkReply::ProtocolUnknownError, {}, std::move(text));
    error.m_badURL = true;
    return error;
}

QString DownloadError::description() const
{
    if (m_badURL)
        return u"The subscription URL \"%1\" is not valid"_s.arg(m_detail);
    switch (m_code) {
    // We never abort a download ourselves, so a cancelled one ran into the transfer time-out.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return u"The subscription download timed out"_s;
    case QNetworkReply::HostNotFoundError:
        return u"The server %1 was not found"_s.arg(m_host);
    case QNetworkReply::ConnectionRefusedError:
        return u"The server %1 refused the connection"_s.arg(m_host);
    case QNetworkReply::RemoteHostClosedError:
        return u"The server %1 closed the connection unexpectedly"_s.arg(m_host);
    case QNetworkReply::SslHandshakeFailedError:
        return u"A secure connection to the server %1 could not be made"_s.arg(m_host);
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return u"The network connection was lost"_s;
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return u"The subscription server %1 redirected too often or to an insecure address"_s.arg(m_host);
    case QNetworkReply::ProtocolUnknownError:
        return u"The subscription URL uses an unsupported scheme"_s;
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return u"The network proxy could not be used"_s;
    default:
        return u"The subscription could not be downloaded from %1: %2"_s.arg(m_host, m_detail);
    }
}

std::chrono::milliseconds subscriptionTimeout()
{
    return g_timeout;
}

void setSubscriptionTimeout(std::chrono::milliseconds timeout)
{
    g_timeout = timeout;
}

QUrl subscriptionUrl(const QString &text)
{
    // "host:port/path" would read as scheme "host" or as an invalid relative reference; a text
    // without "://" names no scheme as far as the user is concerned.
    const QString full = text.contains(u"://"_s) ? text : u"https://"_s + text;
    const QUrl url(full, QUrl::StrictMode);
    if (!url.isValid() || url.isEmpty() || url.host().isEmpty())
        throw DownloadError::badURL(text);
    return url;
}

SubscriptionLoader::SubscriptionLoader(TunnelFetch throughTunnel)
    : m_session(std::make_unique<QNetworkAccessManager>())
    , m_throughTunnel(std::move(throughTunnel))
{
}

SubscriptionLoader::~SubscriptionLoader() = default;

QCoro::Task<QList<ServerPtr>> SubscriptionLoader::load(QString urlText)
{
    const QUrl url = subscriptionUrl(urlText);

    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(g_timeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    std::unique_ptr<QNetworkReply, DeleteLater> reply(m_session->get(request));
    co_await reply.get();

    std::optional<DownloadError> downloadError;
    if (reply->error() == QNetworkReply::NoError || isHttpStatusError(*reply)) {
        const QByteArray body = reply->readAll();
        if (!body.isEmpty()) {
            if (m_usageSeen && reply->error() == QNetworkReply::NoError)
                m_usageSeen(urlText, parseSubscriptionUserinfo(reply->rawHeader("subscription-userinfo")));
            co_return co_await decodeOnWorker(body);
        }
    } else {
        downloadError.emplace(reply->error(), url.host(), reply->errorString());
    }
    reply.reset();

    if (m_throughTunnel) {
        std::optional<QByteArray> fetched;
        try {
            fetched = co_await m_throughTunnel(url);
        } catch (const std::exception &error) {
            // The direct download's error says more to the user than the tunnel's.
            logDebug(u"Subscription fetch through the tunnel failed: "_s + QString::fromUtf8(error.what()));
        }
        if (fetched)
            co_return co_await decodeOnWorker(*fetched);
    }
    if (downloadError)
        throw *downloadError;
    throw AppErrors(AppErrors::Kind::noDataReceived);
}
