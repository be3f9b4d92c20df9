#pragma once

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <variant>

// Downloads subscription content for the application with one network access manager: http and
// https only, redirects followed unless they go from https to http, a transfer time-out, and a cap
// on the body so that the answer always fits one frame.
class SubscriptionFetcher final : public QObject {
    Q_OBJECT

public:
    // The body, or the reason shown to the user ("Download failed: HTTP 404").
    using Outcome = std::variant<QByteArray, QString>;
    using Handler = std::function<void(Outcome)>;

    // 50 MB: a fetchSubscription answer of that size (Base64 in JSON) still fits ipc::maximumPayload.
    static qint64 defaultMaximumSize();

    explicit SubscriptionFetcher(QObject *parent = nullptr,
        std::chrono::milliseconds transferTimeout = std::chrono::seconds(20),
        qint64 maximumSize = defaultMaximumSize());

    // The handler runs exactly once, never before fetch() returns; it is dropped when the fetcher
    // is destroyed first.
    void fetch(const QUrl &url, Handler handler);

    // Where downloads go: straight out (the default) or through the engine's HTTP inbound.
    void setProxy(const QNetworkProxy &proxy) { m_network.setProxy(proxy); }

private:
    QNetworkAccessManager m_network;
    const std::chrono::milliseconds m_transferTimeout;
    const qint64 m_maximumSize;
};
