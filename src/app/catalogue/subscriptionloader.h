#pragma once

#include "core/catalogue/server.h"
#include "core/catalogue/subscriptionusage.h"
#include "core/foundation/error.h"

#include <QCoroTask>
#include <QList>
#include <QNetworkReply>
#include <QString>

#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

// Why a subscription could not be downloaded directly, in words that name what failed.
class DownloadError final : public Error {
public:
    // badURL is the text itself being unusable; the rest come from the network layer.
    DownloadError(QNetworkReply::NetworkError code, QString host, QString detail = {});
    static DownloadError badURL(QString text);

    QNetworkReply::NetworkError code() const { return m_code; }
    bool isBadURL() const { return m_badURL; }
    QString description() const override;

private:
    QNetworkReply::NetworkError m_code;
    QString m_host;
    QString m_detail;
    bool m_badURL = false;
};

// How long a download may go without progress before it is given up; 20 seconds unless changed.
std::chrono::milliseconds subscriptionTimeout();
void setSubscriptionTimeout(std::chrono::milliseconds timeout);

// The address a subscription text stands for: "https://" is assumed when it names no scheme.
// Throws DownloadError::badURL.
QUrl subscriptionUrl(const QString &text);

// Downloads subscriptions over its own network session, and through the running tunnel when the
// direct download fails.
class SubscriptionLoader final {
public:
    // Fetches a URL through the running tunnel: nothing when no tunnel runs; throws when the
    // tunnel could not fetch it.
    using TunnelFetch = std::function<QCoro::Task<std::optional<QByteArray>>(QUrl)>;

    explicit SubscriptionLoader(TunnelFetch throughTunnel = {});
    ~SubscriptionLoader();
    Q_DISABLE_COPY_MOVE(SubscriptionLoader)

    QNetworkAccessManager &session() const { return *m_session; }

    // Told the usage figures of each direct download, by the URL text it was given: those of the
    // "subscription-userinfo" header, or none when the header is missing or malformed. Downloads
    // through the tunnel carry no headers, and leave the figures as they were.
    using UsageSeen = std::function<void(const QString &url, const std::optional<SubscriptionUsage> &usage)>;
    void setUsageSeen(UsageSeen seen) { m_usageSeen = std::move(seen); }

    // Downloads a subscription and parses it into new servers in content order. Throws an Error
    // whose description is fit to show to the user. The loader must outlive the download.
    QCoro::Task<QList<ServerPtr>> load(QString url);

private:
    std::unique_ptr<QNetworkAccessManager> m_session;
    TunnelFetch m_throughTunnel;
    UsageSeen m_usageSeen;
};
