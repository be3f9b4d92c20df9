#pragma once

#include "core/tunnel/tunnelmessages.h"
#include "core/tunnel/tunnelprovidererror.h"
#include "service/startconfiguration.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class EngineRunner;
class EngineStats;
class SystemProxy;
class QNetworkAccessManager;
class StatusChecker;
class SubscriptionFetcher;
class TrafficCounters;

// The tunnel itself, apart from how clients reach it: owns the configuration it runs with, keeps
// the traffic engine running for it, and answers the application's requests.
class TunnelService final : public QObject {
    Q_OBJECT

public:
    // The answer bytes of one request: a result's JSON, or the raw graph-data buffer.
    using Reply = std::function<void(const QByteArray &answer)>;

    explicit TunnelService(QObject *parent = nullptr);
    ~TunnelService() override;

    // Runs exactly once: with nothing once the engine moves traffic, or with what went wrong.
    using Started = std::function<void(const std::optional<TunnelProviderError> &failure)>;

    // Takes the configuration of a start frame and starts the engine for it. On failure the
    // previous configuration, if any, stays. `done` may run before start() returns.
    void start(const QByteArray &providerConfiguration, Started done);

    // The configuration in use; nothing before a valid start.
    const std::optional<BackendConfiguration> &configuration() const { return m_configuration; }

    // Answers one request payload. The reply runs exactly once, now or later; it is dropped if
    // the service is destroyed first. An undecodable payload gets a failure "Invalid request: ...".
    void answer(const QByteArray &request, Reply reply);

    TrafficCounters &traffic() { return *m_traffic; }

    // Stops the engine and gives the desktop back its proxy settings. The tunnel calls it before
    // it closes its connections, so an application that sees it gone finds everything restored.
    void shutdown();

    // The URL checkCurrentStatus asks through the engine; it must answer 204.
    void setCheckUrl(const QUrl &url) { m_checkUrl = url; }

Q_SIGNALS:
    void configurationChanged();
    // The engine ended on its own, or could not return to the configuration in use: the tunnel
    // no longer moves traffic.
    void engineFailed(const TunnelProviderError &error);

private:
    void answerRequest(const TunnelRequest &request, const Reply &reply);
    // Replaces the running engine; answers success or failure("<prefix><reason>"), and puts the
    // previous configuration back when the new one cannot run.
    void apply(const BackendConfiguration &next, const QString &failurePrefix, const Reply &reply);
    // The engine runs `running` now: the configuration in use, its proxies and the log follow.
    void adopt(const BackendConfiguration &running, const QString &how);
    void checkThroughEngine(const Reply &reply);
    void useEngine(bool running);
    // Once a second: the engine's counters into the graph.
    void sampleTraffic();
    // Points the desktop's proxy settings at the HTTP proxy while the settings ask for it.
    void followSystemProxy();

    std::optional<BackendConfiguration> m_configuration;
    StatusChecker *m_statusChecker;
    SubscriptionFetcher *m_fetcher;
    TrafficCounters *m_traffic;
    EngineRunner *m_engine;
    QNetworkAccessManager *m_checks;
    QUrl m_checkUrl;
    std::unique_ptr<SystemProxy> m_systemProxy;
    EngineStats *m_stats = nullptr;
    QTimer m_sampling;
    // The HTTP proxy port the desktop's settings point at; 0 while they are the user's own.
    quint16 m_systemProxyPort = 0;
    // Counts runs, so that only the newest one's failure puts the previous configuration back.
    quint64 m_runs = 0;
};
