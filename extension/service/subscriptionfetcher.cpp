#include "service/subscriptionfetcher.h"

#include "core/tunnel/ipcframe.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

namespace {

QString failed(const QString &what)
{
    return QStringLiteral("Download failed: ") + what;
}

QString sizeText(qint64 bytes)
{
    if (bytes % 1000000 == 0)
        return QStringLiteral("%1 MB").arg(bytes / 1000000);
    return QStringLiteral("%1 bytes").arg(bytes);
}

// {"fetchSubscription":{"data":"..."}} around the Base64 text, which takes 4 bytes per 3.
constexpr qint64 answerSize(qint64 bodySize)
{
    return 64 + (bodySize + 2) / 3 * 4;
}

constexpr qint64 defaultCap = 50000000;
static_assert(answerSize(defaultCap) <= qint64(ipc::maximumPayload), "a full-size subscription must fit one frame");

} // namespace

qint64 SubscriptionFetcher::defaultMaximumSize()
{
    return defaultCap;
}

SubscriptionFetcher::SubscriptionFetcher(QObject *parent, std::chrono::milliseconds transferTimeout, qint64 maximumSize)
    : QObject(parent)
    , m_transferTimeout(transferTimeout)
    , m_maximumSize(maximumSize)
{
    // Straight to the server: the tunnel is itself the way out, not a client of some proxy.
    m_network.setProxy(QNetworkProxy::NoProxy);
}

void SubscriptionFetcher::fetch(const QUrl &url, Handler handler)
{
    const QString scheme = url.scheme().toLower();
    if (scheme != u"http" && scheme != u"https") {
        const QString reason = failed(QStringLiteral("unsupported URL scheme \"%1\"").arg(url.scheme()));
        QTimer::singleShot(0, this, [handler = std::move(handler), reason] { handler(reason); });
        return;
    }

    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_transferTimeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(10);
    QNetworkReply *reply = m_network.get(request);

    struct Download {
        QByteArray body;
        QString refusal;
    };
    auto download = std::make_shared<Download>();
    const qint64 maximumSize = m_maximumSize;
    const QString tooLarge = failed(QStringLiteral("the content is larger than %1").arg(sizeText(maximumSize)));
    auto refuse = [reply, download](const QString &reason) {
        if (!download->refusal.isEmpty())
            return;
        download->refusal = reason;
        reply->abort();
    };

    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, maximumSize, tooLarge, refuse] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maximumSize)
            refuse(tooLarge);
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, download, maximumSize, tooLarge, refuse] {
        if (!download->refusal.isEmpty())
            return;
        download->body.append(reply->readAll());
        if (download->body.size() > maximumSize) {
            download->body.clear();
            refuse(tooLarge);
        }
    });
    connect(reply, &QNetworkReply::finished, this,
        [this, reply, download, maximumSize, tooLarge, handler = std::move(handler)] {
            reply->deleteLater();
            if (!download->refusal.isEmpty()) {
                handler(download->refusal);
                return;
            }
            const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
                const QString phrase
                    = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
                QString what = QStringLiteral("HTTP %1").arg(status.toInt());
                if (!phrase.isEmpty())
                    what += u' ' + phrase;
                handler(failed(what));
                return;
            }
            if (reply->error() == QNetworkReply::OperationCanceledError) {
                // Only the transfer time-out cancels a reply we did not abort ourselves.
                handler(failed(
                    QStringLiteral("no data received for %1 seconds").arg(double(m_transferTimeout.count()) / 1000.0)));
                return;
            }
            if (reply->error() != QNetworkReply::NoError) {
                handler(failed(reply->errorString()));
                return;
            }
            download->body.append(reply->readAll());
            if (download->body.size() > maximumSize) {
                handler(tooLarge);
                return;
            }
            handler(std::move(download->body));
        });
}
