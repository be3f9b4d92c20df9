#include "service/tunnelservice.h"

#include "core/foundation/log.h"
#include "core/systemproxy/systemproxy.h"
#include "engine/enginerunner.h"
#include "engine/enginestats.h"
#include "service/memoryusage.h"
#include "service/statuschecker.h"
#include "service/subscriptionfetcher.h"
#include "service/trafficcounters.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>

namespace {

// Encoding fails only on text that is not UTF-8; even then the request gets its one answer.
QByteArray encoded(const TunnelRequestResult &result)
{
    try {
        return encodeTunnelRequestResult(result);
    } catch (const Error &error) {
        logError(QStringLiteral("Cannot encode an answer: %1").arg(error.description()));
        return encodeTunnelRequestResult(
            TunnelResults::Failure { QStringLiteral("The tunnel cannot encode its answer") });
    }
}

QByteArray failure(const QString &reason)
{
    return encoded(TunnelResults::Failure { reason });
}

QByteArray onlineStatus(OnlineStatus status)
{
    return encoded(TunnelResults::OnlineStatusResult { status });
}

// Where the connectivity check asks unless told otherwise: a page that answers 204 and nothing else.
QUrl defaultCheckUrl()
{
    const QByteArray configured = qgetenv("WRENLOW_CHECK_URL");
    return QUrl(
        configured.isEmpty() ? QStringLiteral("http://www.gstatic.com/generate_204") : QString::fromUtf8(configured));
}

} // namespace

TunnelService::TunnelService(QObject *parent)
    : QObject(parent)
    , m_statusChecker(new StatusChecker(this))
    , m_fetcher(new SubscriptionFetcher(this))
    , m_traffic(new TrafficCounters(this))
    , m_engine(new EngineRunner(this))
    , m_checks(new QNetworkAccessManager(this))
    , m_checkUrl(defaultCheckUrl())
    , m_systemProxy(std::make_unique<SystemProxy>())
{
    m_sampling.setInterval(std::chrono::seconds(1));
    connect(&m_sampling, &QTimer::timeout, this, &TunnelService::sampleTraffic);
    m_sampling.start();
    connect(m_engine, &EngineRunner::died, this, [this](const QString &reason) {
        useEngine(false);
        Q_EMIT engineFailed(TunnelProviderError(
            TunnelProviderError::Code::custom, QStringLiteral("The proxy engine stopped: %1").arg(reason)));
    });
}

TunnelService::~TunnelService()
{
    shutdown();
}

void TunnelService::shutdown()
{
    m_sampling.stop();
    useEngine(false);
    m_engine->stop();
    // However the tunnel ends (stop, signal, engine failure), the user's settings come back.
    if (m_systemProxyPort != 0) {
        m_systemProxy->restore();
        m_systemProxyPort = 0;
    }
}

void TunnelService::start(const QByteArray &providerConfiguration, Started done)
{
    StartConfiguration start;
    try {
        start = readStartConfiguration(providerConfiguration);
    } catch (const TunnelProviderError &error) {
        done(error);
        return;
    }
    ++m_runs;
    m_engine->run(start.backend, [this, backend = start.backend, done](const std::optional<QString> &problem) {
        // A start that fails ends the tunnel, whatever ran before it.
        if (problem) {
            done(TunnelProviderError(TunnelProviderError::Code::startBackend, *problem));
            return;
        }
        adopt(backend, QStringLiteral("running with"));
        done(std::nullopt);
    });
}

void TunnelService::adopt(const BackendConfiguration &running, const QString &how)
{
    m_configuration = running;
    useEngine(true);
    followSystemProxy();
    logInfo(QStringLiteral("Tunnel %1 %2 server %3")
                .arg(how, protocolName(running.serverSettings), addressWithPort(running.serverSettings)));
    Q_EMIT configurationChanged();
}

void TunnelService::apply(const BackendConfiguration &next, const QString &failurePrefix, const Reply &reply)
{
    const quint64 run = ++m_runs;
    m_engine->run(next, [this, run, next, failurePrefix, reply](const std::optional<QString> &problem) {
        if (!problem) {
            adopt(next, QStringLiteral("switched to"));
            reply(encoded(TunnelResults::Success {}));
            return;
        }
        reply(failure(failurePrefix + *problem));
        // Refused before the running engine was touched, or replaced by a newer run already.
        if (run != m_runs || m_engine->isRunning())
            return;
        useEngine(false);
        if (!m_configuration || *m_configuration == next) {
            Q_EMIT engineFailed(TunnelProviderError(
                TunnelProviderError::Code::custom, QStringLiteral("The proxy engine stopped: %1").arg(*problem)));
            return;
        }
        logError(QStringLiteral("Returning to the previous configuration: %1").arg(*problem));
        apply(*m_configuration, QString(), [](const QByteArray &) {});
    });
}

void TunnelService::followSystemProxy()
{
    const NetworkSettings &network = m_configuration->appSettings.network;
    const quint16 wanted = network.httpProxy && network.systemProxy ? quint16(network.httpProxyPort) : 0;
    if (wanted == m_systemProxyPort)
        return;
    if (m_systemProxyPort != 0) {
        m_systemProxy->restore();
        m_systemProxyPort = 0;
    }
    // Not being able to change the desktop's settings leaves the HTTP proxy usable; it is logged.
    if (wanted != 0 && m_systemProxy->apply(wanted) == SystemProxy::Result::applied)
        m_systemProxyPort = wanted;
}

void TunnelService::useEngine(bool running)
{
    delete m_stats;
    m_stats = nullptr;
    if (running) {
        m_fetcher->setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_engine->tunnelPort()));
        m_stats = new EngineStats(m_engine->apiPort(), this);
    } else {
        m_fetcher->setProxy(QNetworkProxy::NoProxy);
    }
}

void TunnelService::sampleTraffic()
{
    // The second closes when its counters arrive, so each bar holds one second of traffic. Without
    // an engine it closes empty; while a query is still pending, its answer closes it.
    if (!m_stats) {
        m_traffic->sample();
        return;
    }
    m_stats->takeTraffic([this](std::optional<EngineTraffic> traffic) {
        if (traffic) {
            m_traffic->addSent(traffic->uplink);
            m_traffic->addReceived(traffic->downlink);
        }
        m_traffic->sample();
    });
}

void TunnelService::checkThroughEngine(const Reply &reply)
{
    if (!m_engine->isRunning())
        return reply(onlineStatus(OnlineStatus::offline));
    m_checks->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_engine->tunnelPort()));
    QNetworkRequest request(m_checkUrl);
    request.setTransferTimeout(5000);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *answer = m_checks->get(request);
    connect(answer, &QNetworkReply::finished, this, [answer, reply] {
        answer->deleteLater();
        const int status = answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply(onlineStatus(
            answer->error() == QNetworkReply::NoError && status == 204 ? OnlineStatus::online : OnlineStatus::offline));
    });
}

void TunnelService::answer(const QByteArray &request, Reply reply)
{
    std::optional<TunnelRequest> decoded;
    try {
        decoded = decodeTunnelRequest(request);
    } catch (const Error &error) {
        reply(failure(QStringLiteral("Invalid request: %1").arg(error.description())));
        return;
    } catch (const std::exception &error) {
        reply(failure(QStringLiteral("Invalid request: %1").arg(QString::fromUtf8(error.what()))));
        return;
    }
    answerRequest(*decoded, reply);
}

void TunnelService::answerRequest(const TunnelRequest &request, const Reply &reply)
{
    using namespace TunnelRequests;
    std::visit(
        [&](const auto &r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, Change>) {
                if (!m_configuration)
                    return reply(
                        failure(QStringLiteral("Cannot change the configuration: the tunnel has not been started")));
                if (const auto problem = backendProblem(r.backendSettings))
                    return reply(failure(QStringLiteral("Cannot change the configuration: %1").arg(*problem)));
                apply(r.backendSettings, QStringLiteral("Cannot change the configuration: "), reply);
            } else if constexpr (std::is_same_v<T, ChangeNetworkSettings>) {
                if (!m_configuration)
                    return reply(
                        failure(QStringLiteral("Cannot change the network settings: the tunnel has not been started")));
                if (const auto problem = networkProblem(r.network))
                    return reply(failure(QStringLiteral("Cannot change the network settings: %1").arg(*problem)));
                BackendConfiguration next = *m_configuration;
                next.appSettings.network = r.network;
                apply(next, QStringLiteral("Cannot change the network settings: "), reply);
            } else if constexpr (std::is_same_v<T, CheckStatus>) {
                m_statusChecker->check(address(r.settings), port(r.settings),
                    [reply](OnlineStatus status) { reply(onlineStatus(status)); });
            } else if constexpr (std::is_same_v<T, CheckCurrentStatus>) {
                if (!m_configuration)
                    return reply(onlineStatus(OnlineStatus::unknown));
                checkThroughEngine(reply);
            } else if constexpr (std::is_same_v<T, FetchSubscription>) {
                m_fetcher->fetch(r.url, [reply, url = r.url](SubscriptionFetcher::Outcome outcome) {
                    if (auto *reason = std::get_if<QString>(&outcome)) {
                        logError(QStringLiteral("Subscription download from %1: %2")
                                     .arg(url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery), *reason));
                        reply(failure(*reason));
                    } else {
                        reply(encoded(TunnelResults::FetchSubscription { std::get<QByteArray>(std::move(outcome)) }));
                    }
                });
            } else if constexpr (std::is_same_v<T, GetGraphData>) {
                reply(encodeGraphData(m_traffic->receiveSpeed(), m_traffic->sendSpeed(), m_traffic->graphBytes()));
            } else if constexpr (std::is_same_v<T, GetMemoryUsed>) {
                reply(
                    encoded(TunnelResults::MemoryUsed { residentSetSize() + residentSetSize(m_engine->processId()) }));
            }
        },
        request);
}
