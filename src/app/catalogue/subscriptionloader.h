#pragma once

#include "core/catalogue/server.h"
#include "core/foundation/error.h"

#include <QCoroTask>
#include <QList>
#include <QNetworkReply>
#include <QString>

#include <chrono>

class QNetworkAccessManager;
class VPNManager;

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

// The one network session for subscription downloads, made on first use.
QNetworkAccessManager &subscriptionSession();
// How long a download may go without progress before it is given up; 20 seconds unless changed.
std::chrono::milliseconds subscriptionTimeout();
void setSubscriptionTimeout(std::chrono::milliseconds timeout);

// The address a subscription text stands for: "https://" is assumed when it names no scheme.
// Throws DownloadError::badURL.
QUrl subscriptionUrl(const QString &text);

// Downloads a subscription (through the running tunnel when the direct download fails while the
// VPN is up) and parses it into new servers in content order. Throws an Error whose description
// is fit to show to the user.
QCoro::Task<QList<ServerPtr>> loadSubscriptionServers(QString url, VPNManager &vpn);
