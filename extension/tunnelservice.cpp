#include "tunnelservice.h"

#include "memoryusage.h"
#include "platform/log.h"
#include "statuschecker.h"
#include "subscriptionfetcher.h"
#include "trafficcounters.h"

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

} // namespace

TunnelService::TunnelService(QObject *parent)
    : QObject(parent)
    , m_statusChecker(new StatusChecker(this))
    , m_fetcher(new SubscriptionFetcher(this))
    , m_traffic(new TrafficCounters(this))
{
}

TunnelService::~TunnelService() = default;

void TunnelService::start(const QByteArray &providerConfiguration)
{
    StartConfiguration start = readStartConfiguration(providerConfiguration);
    m_configuration = std::move(start.backend);
    logInfo(QStringLiteral("Tunnel configured for %1 server %2")
                .arg(protocolName(m_configuration->serverSettings), addressWithPort(m_configuration->serverSettings)));
    Q_EMIT configurationChanged();
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
                m_configuration = r.backendSettings;
                logInfo(QStringLiteral("Tunnel switched to %1 server %2")
                            .arg(protocolName(m_configuration->serverSettings),
                                addressWithPort(m_configuration->serverSettings)));
                Q_EMIT configurationChanged();
                reply(encoded(TunnelResults::Success {}));
            } else if constexpr (std::is_same_v<T, ChangeNetworkSettings>) {
                if (!m_configuration)
                    return reply(
                        failure(QStringLiteral("Cannot change the network settings: the tunnel has not been started")));
                if (const auto problem = networkProblem(r.network))
                    return reply(failure(QStringLiteral("Cannot change the network settings: %1").arg(*problem)));
                m_configuration->appSettings.network = r.network;
                Q_EMIT configurationChanged();
                reply(encoded(TunnelResults::Success {}));
            } else if constexpr (std::is_same_v<T, CheckStatus>) {
                m_statusChecker->check(address(r.settings), port(r.settings),
                    [reply](OnlineStatus status) { reply(onlineStatus(status)); });
            } else if constexpr (std::is_same_v<T, CheckCurrentStatus>) {
                if (!m_configuration)
                    return reply(onlineStatus(OnlineStatus::unknown));
                m_statusChecker->check(address(m_configuration->serverSettings), port(m_configuration->serverSettings),
                    [reply](OnlineStatus status) { reply(onlineStatus(status)); });
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
                reply(encoded(TunnelResults::MemoryUsed { residentSetSize() }));
            }
        },
        request);
}
