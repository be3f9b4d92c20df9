#include "app/tunnel/vpnmanager.h"

#include "core/catalogue/errors.h"
#include "core/foundation/log.h"

#include <QCoreApplication>
#include <QTimer>

#include <coroutine>

namespace {

QString timeoutReason()
{
    return QStringLiteral("The tunnel did not answer in time");
}

// What came back for one provider message.
struct ProviderAnswer {
    bool timedOut = false;
    std::optional<QByteArray> response;
};

// Shared by the waiting request, the platform's response handler and the time-out. Whichever comes
// second finds the request finished and does nothing, so an answer that arrives after the time-out,
// or after the manager is gone, touches nothing but this.
struct PendingAnswer {
    bool finished = false;
    ProviderAnswer answer;
    std::coroutine_handle<> waiter;

    void finish(ProviderAnswer value)
    {
        if (finished)
            return;
        finished = true;
        answer = std::move(value);
        if (const auto handle = std::exchange(waiter, {}))
            handle.resume();
    }
};

// Points at the shared state: the compiler may copy an awaiter or destroy its temporary more than
// once, so it owns nothing. The waiting coroutine's own reference keeps the state alive.
struct AnswerAwaiter {
    PendingAnswer *pending;

    bool await_ready() const noexcept { return pending->finished; }
    void await_suspend(std::coroutine_handle<> handle) const noexcept { pending->waiter = handle; }
    ProviderAnswer await_resume() const { return std::move(pending->answer); }
};

// Runs on the main thread in a later turn of its event loop. Posted to the application object,
// which outlives every request, so neither the platform's thread nor a finished timer is involved
// when the request resumes.
void finishOnMainThread(std::shared_ptr<PendingAnswer> pending, ProviderAnswer answer)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [pending = std::move(pending), answer = std::move(answer)]() mutable { pending->finish(std::move(answer)); },
        Qt::QueuedConnection);
}

// Sends one message to the running tunnel and waits for its single answer, at most `timeout`.
// A failed send throws what the platform threw.
QCoro::Task<ProviderAnswer> exchange(
    TunnelConnection &connection, QByteArray message, std::chrono::milliseconds timeout)
{
    auto pending = std::make_shared<PendingAnswer>();
    connection.sendProviderMessage(message, [pending](std::optional<QByteArray> response) {
        finishOnMainThread(pending, ProviderAnswer { false, std::move(response) });
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &timer, [pending] {
        finishOnMainThread(pending, ProviderAnswer { true, {} });
    });
    timer.start(timeout);
    co_return co_await AnswerAwaiter { pending.get() };
}

} // namespace

QCoro::Task<TunnelRequestResult> VPNManager::doTunnelRequest(TunnelRequest request)
{
    using TunnelResults::Failure;
    const TunnelProfilePtr manager = m_manager;
    TunnelConnection *connection = manager ? manager->connection() : nullptr;
    if (!connection)
        co_return Failure { QStringLiteral("No tunnel provider configured") };

    ProviderAnswer answer;
    std::optional<QString> sendError;
    try {
        QByteArray message = encodeTunnelRequest(request);
        answer = co_await exchange(*connection, std::move(message), m_requestTimeout);
    } catch (const Error &error) {
        sendError = error.description();
    }
    if (sendError) {
        logError(QStringLiteral("Error getting status from TunnelProvider: ") + *sendError);
        co_return Failure { QStringLiteral("Error sending request: ") + *sendError };
    }
    if (answer.timedOut)
        co_return Failure { timeoutReason() };
    if (!answer.response)
        co_return Failure { QStringLiteral("No data returned") };
    std::optional<TunnelRequestResult> result;
    try {
        result = decodeTunnelRequestResult(*answer.response);
    } catch (const Error &) {
    }
    if (!result)
        co_return Failure { QStringLiteral("Failed to decode data") };
    co_return std::move(*result);
}

QCoro::Task<std::optional<QByteArray>> VPNManager::fetchThroughActiveTunnel(QUrl url)
{
    if (!isActive())
        co_return std::nullopt;
    co_return co_await fetchSubscription(std::move(url));
}

QCoro::Task<QByteArray> VPNManager::fetchSubscription(QUrl url)
{
    const TunnelProfilePtr manager = m_manager;
    if (!manager)
        throw AppErrors(AppErrors::Kind::profileNotInstalled);
    const QByteArray message = encodeTunnelRequest(TunnelRequests::FetchSubscription { url });
    TunnelConnection *connection = manager->connection();
    // Nothing to send through; the same words doTunnelRequest uses in this case.
    if (!connection)
        throw AppErrors::other(QStringLiteral("No tunnel provider configured"));

    const ProviderAnswer answer = co_await exchange(*connection, message, m_requestTimeout);
    if (answer.timedOut)
        throw AppErrors::other(timeoutReason());
    if (!answer.response)
        throw AppErrors(AppErrors::Kind::noDataReceived);
    const TunnelRequestResult result = decodeTunnelRequestResult(*answer.response);
    if (const auto *content = std::get_if<TunnelResults::FetchSubscription>(&result))
        co_return content->data;
    if (const auto *failure = std::get_if<TunnelResults::Failure>(&result))
        throw AppErrors::other(failure->reason);
    throw AppErrors::other(QStringLiteral("Invalid response"));
}

QCoro::Task<std::optional<GraphData>> VPNManager::getGraphData()
{
    const TunnelProfilePtr manager = m_manager;
    TunnelConnection *connection = manager ? manager->connection() : nullptr;
    if (!connection)
        co_return std::nullopt;
    std::optional<QByteArray> message;
    try {
        message = encodeTunnelRequest(TunnelRequests::GetGraphData {});
    } catch (const Error &) {
    }
    if (!message || connection->status() != VPNStatus::connected)
        co_return std::nullopt;

    ProviderAnswer answer;
    std::optional<QString> sendError;
    try {
        answer = co_await exchange(*connection, *message, m_requestTimeout);
    } catch (const Error &error) {
        sendError = error.description();
    }
    if (sendError) {
        logError(QStringLiteral("Error getting status from TunnelProvider: ") + *sendError);
        co_return std::nullopt;
    }
    if (answer.timedOut)
        co_return std::nullopt;
    if (!answer.response) {
        logError(QStringLiteral("Error decoding online status: no data received"));
        // An empty graph rather than none: the tunnel answered, it just had nothing to report.
        co_return GraphData {};
    }
    co_return decodeGraphData(*answer.response);
}

QCoro::Task<OnlineStatus> VPNManager::checkCurrentStatus()
{
    if (m_status != VPNStatus::connected)
        co_return OnlineStatus::unknown;
    TunnelRequest request = TunnelRequests::CheckCurrentStatus {};
    const TunnelRequestResult result = co_await doTunnelRequest(std::move(request));
    if (const auto *online = std::get_if<TunnelResults::OnlineStatusResult>(&result))
        co_return online->status;
    co_return OnlineStatus::unknown;
}

QCoro::Task<OnlineStatus> VPNManager::checkStatus(ServerPtr server)
{
    if (!m_manager) {
        bool prepared = true;
        try {
            co_await prepareProfile(server);
        } catch (const std::exception &) {
            prepared = false;
        }
        if (!prepared)
            co_return OnlineStatus::unknown;
    }
    // Named, not a temporary of the co_await expression: GCC 12 destroys some of those twice.
    TunnelRequest request = TunnelRequests::CheckStatus { server->settings() };
    const TunnelRequestResult result = co_await doTunnelRequest(std::move(request));
    if (const auto *online = std::get_if<TunnelResults::OnlineStatusResult>(&result))
        co_return online->status;
    co_return OnlineStatus::unknown;
}
