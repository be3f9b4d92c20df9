#pragma once

#include "startconfiguration.h"
#include "tunnel/tunnelmessages.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <optional>

class StatusChecker;
class SubscriptionFetcher;
class TrafficCounters;

// The tunnel itself, apart from how clients reach it: owns the configuration it runs with and
// answers the application's requests. It moves no traffic yet; the traffic engine will follow
// configurationChanged() and feed traffic().
class TunnelService final : public QObject {
    Q_OBJECT

public:
    // The answer bytes of one request: a result's JSON, or the raw graph-data buffer.
    using Reply = std::function<void(const QByteArray &answer)>;

    explicit TunnelService(QObject *parent = nullptr);
    ~TunnelService() override;

    // Takes the configuration of a start frame. Throws TunnelProviderError, saying what is wrong,
    // and keeps the previous configuration, when the tunnel cannot run with it.
    void start(const QByteArray &providerConfiguration);

    // The configuration in use; nothing before a valid start.
    const std::optional<BackendConfiguration> &configuration() const { return m_configuration; }

    // Answers one request payload. The reply runs exactly once, now or later; it is dropped if
    // the service is destroyed first. An undecodable payload gets a failure "Invalid request: ...".
    void answer(const QByteArray &request, Reply reply);

    TrafficCounters &traffic() { return *m_traffic; }

Q_SIGNALS:
    void configurationChanged();

private:
    void answerRequest(const TunnelRequest &request, const Reply &reply);

    std::optional<BackendConfiguration> m_configuration;
    StatusChecker *m_statusChecker;
    SubscriptionFetcher *m_fetcher;
    TrafficCounters *m_traffic;
};
