#include "app/updates/updatechecker.h"

#include "core/foundation/log.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <nlohmann/json.hpp>

#ifndef WRENLOW_UPDATE_FEED_URL
#define WRENLOW_UPDATE_FEED_URL ""
#endif

namespace {

// A feed is a few dozen bytes; anything far larger is not one.
constexpr qint64 maximumFeedSize = 64 * 1024;

qint64 componentValue(QStringView component)
{
    qint64 value = 0;
    for (const QChar c : component) {
        if (!c.isDigit())
            break;
        value = std::min<qint64>(value * 10 + c.digitValue(), qint64(1) << 40);
    }
    return value;
}

bool isWebScheme(const QUrl &url, bool allowHttp)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QStringLiteral("https") || (allowHttp && scheme == QStringLiteral("http"));
}

UpdateCheckResult failed(const QString &why)
{
    UpdateCheckResult result;
    result.kind = UpdateCheckResult::Kind::failure;
    result.failure = why;
    return result;
}

} // namespace

int compareVersions(QStringView a, QStringView b)
{
    const auto trimmed = [](QStringView text) {
        text = text.trimmed();
        if (text.startsWith(QLatin1Char('v'), Qt::CaseInsensitive))
            text = text.mid(1);
        return text.split(QLatin1Char('.'));
    };
    const QList<QStringView> left = trimmed(a);
    const QList<QStringView> right = trimmed(b);
    for (qsizetype i = 0; i < std::max(left.size(), right.size()); ++i) {
        const qint64 x = i < left.size() ? componentValue(left[i]) : 0;
        const qint64 y = i < right.size() ? componentValue(right[i]) : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

QUrl UpdateChecker::builtInFeedUrl()
{
    return QUrl(QStringLiteral(WRENLOW_UPDATE_FEED_URL));
}

UpdateChecker::UpdateChecker(QUrl feedUrl, QString currentVersion, FeedSchemes schemes, QObject *parent)
    : QObject(parent)
    , m_feedUrl(std::move(feedUrl))
    , m_currentVersion(std::move(currentVersion))
    , m_allowHttp(schemes == FeedSchemes::httpAllowed)
    , m_session(std::make_unique<QNetworkAccessManager>())
{
    m_feedUsable = m_feedUrl.isValid() && !m_feedUrl.host().isEmpty() && isWebScheme(m_feedUrl, m_allowHttp);
    if (!m_feedUrl.isEmpty() && !m_feedUsable)
        logError(QStringLiteral("Update checks are off: the feed address is not an https URL: ")
            + m_feedUrl.toDisplayString());
}

UpdateChecker::~UpdateChecker() = default;

bool UpdateChecker::canCheckForUpdates() const
{
    return m_feedUsable && !m_checking;
}

void UpdateChecker::setChecking(bool checking)
{
    if (m_checking == checking)
        return;
    m_checking = checking;
    Q_EMIT canCheckForUpdatesChanged();
}

void UpdateChecker::checkForUpdates()
{
    if (!canCheckForUpdates())
        return;
    setChecking(true);
    QCoro::connect(fetch(), this, [this](const UpdateCheckResult &result) {
        setChecking(false);
        Q_EMIT checkFinished(result);
    });
}

QCoro::Task<UpdateCheckResult> UpdateChecker::fetch()
{
    QNetworkRequest request(m_feedUrl);
    request.setTransferTimeout(int(m_timeout.count()));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    // The session outlives the task: the checker is the context the result is delivered to.
    std::unique_ptr<QNetworkReply> reply(co_await m_session->get(request));
    if (reply->error() != QNetworkReply::NoError) {
        logError(QStringLiteral("Update check failed: ") + reply->errorString());
        // The transfer time-out shows as a cancellation.
        if (reply->error() == QNetworkReply::OperationCanceledError)
            co_return failed(tr("The update server did not answer in time."));
        co_return failed(tr("The update information could not be downloaded: %1").arg(reply->errorString()));
    }
    const QByteArray body = reply->read(maximumFeedSize + 1);
    if (body.size() > maximumFeedSize)
        co_return failed(tr("The update information is not in the expected form."));

    QString version;
    QUrl page;
    try {
        const nlohmann::json document = nlohmann::json::parse(body.constBegin(), body.constEnd());
        version = QString::fromStdString(document.at("version").get<std::string>()).trimmed();
        page = QUrl(QString::fromStdString(document.at("url").get<std::string>()), QUrl::StrictMode);
    } catch (const nlohmann::json::exception &error) {
        logError(QStringLiteral("Update feed not understood: ") + QString::fromUtf8(error.what()));
        co_return failed(tr("The update information is not in the expected form."));
    }
    // The page is opened in the browser: only a web address may be.
    if (version.isEmpty() || (!version.front().isDigit() && !version.startsWith(QLatin1Char('v'))) || !page.isValid()
        || page.host().isEmpty() || !isWebScheme(page, true))
        co_return failed(tr("The update information is not in the expected form."));

    UpdateCheckResult result;
    result.version = version;
    if (compareVersions(version, m_currentVersion) > 0) {
        result.kind = UpdateCheckResult::Kind::newer;
        result.page = page;
    } else {
        result.kind = UpdateCheckResult::Kind::current;
    }
    co_return result;
}
