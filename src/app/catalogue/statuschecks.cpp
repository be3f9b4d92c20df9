#include "app/catalogue/statuschecks.h"

#include "core/foundation/log.h"

#include <QCoroTimer>

#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
constexpr qsizetype startsPerTurn = 250;
}

QCoro::Task<> checkStatus(ServerPtr server, StatusProbe &probe)
{
    server->setInProgress(true);
    const OnlineStatus status = co_await probe.checkStatus(server);
    server->setStatus(status);
    server->setInProgress(false);
}

QCoro::Task<> checkCurrentStatus(ServerPtr server, StatusProbe &probe)
{
    server->setInProgress(true);
    const OnlineStatus status = co_await probe.checkCurrentStatus();
    server->setStatus(status);
    server->setInProgress(false);
}

QCoro::Task<> checkStatuses(QList<ServerPtr> servers, StatusProbe &probe, std::function<void(bool)> setChecking)
{
    if (servers.isEmpty())
        co_return;
    // Status stays invalid until a profile exists; thousands of checks must not each try to make one.
    if (!probe.hasProfile()) {
        bool prepared = true;
        try {
            co_await probe.prepareProfile(servers.first());
        } catch (const std::exception &error) {
            logDebug(u"Status check: no profile could be installed: "_s + QString::fromUtf8(error.what()));
            prepared = false;
        }
        if (!prepared)
            co_return;
    }
    if (setChecking)
        setChecking(true);
    std::vector<QCoro::Task<>> checks;
    checks.reserve(servers.size());
    for (qsizetype i = 0; i < servers.size(); ++i) {
        // Starting thousands of requests in one go would freeze the program; let it breathe.
        if (i > 0 && i % startsPerTurn == 0)
            co_await QCoro::sleepFor(0ms);
        checks.push_back(checkStatus(servers[i], probe));
    }
    for (auto &check : checks)
        co_await check;
    if (setChecking)
        setChecking(false);
}
