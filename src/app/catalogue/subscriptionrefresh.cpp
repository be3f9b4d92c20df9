#include "app/catalogue/subscriptionrefresh.h"

#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "core/catalogue/errors.h"

#include <QPointer>

#include <vector>

using namespace Qt::StringLiterals;

namespace {

// A copy that outlives the catch block, keeping the concrete type for callers that look at it.
ErrorPtr keep(const Error &error)
{
    if (const auto *download = dynamic_cast<const DownloadError *>(&error))
        return std::make_shared<DownloadError>(*download);
    if (const auto *subscription = dynamic_cast<const SubscriptionError *>(&error))
        return std::make_shared<SubscriptionError>(*subscription);
    if (const auto *undecodable = dynamic_cast<const UndecodableContentError *>(&error))
        return std::make_shared<UndecodableContentError>(*undecodable);
    if (const auto *app = dynamic_cast<const AppErrors *>(&error))
        return std::make_shared<AppErrors>(*app);
    return std::make_shared<AppErrors>(AppErrors::other(error.description()));
}

QCoro::Task<> refreshOne(
    QUuid id, SubscriptionType type, SubscriptionLoader &loader, std::shared_ptr<std::vector<UpdateResult>> results)
{
    UpdateResult result { id, {}, {} };
    try {
        QList<ServerPtr> servers = co_await loader.load(type.url);
        result.updated = std::make_shared<ServerGroup>(type, std::move(servers));
    } catch (const Error &error) {
        result.error = keep(error);
    } catch (const std::exception &error) {
        result.error = std::make_shared<AppErrors>(AppErrors::other(QString::fromUtf8(error.what())));
    }
    // In the order the loads finish.
    results->push_back(std::move(result));
}

} // namespace

bool isSubscriptionDue(const ServerGroup &group, bool force, const QDateTime &now)
{
    const auto *type = std::get_if<SubscriptionType>(&group.type());
    if (!type)
        return false;
    if (force)
        return true;
    if (!type->autoUpdate)
        return false;
    const QDateTime lastUpdated = group.lastUpdated();
    QDateTime due = lastUpdated.addSecs(2 * 60 * 60);
    if (!due.isValid())
        due = lastUpdated;
    return now > due;
}

QCoro::Task<SubscriptionUpdateResults> updateSubscriptions(
    GroupCollection &groups, bool force, SubscriptionLoader &loader)
{
    // The catalogue may be gone by the time the loads end; then there is nothing to merge into.
    const QPointer<GroupCollection> collection(&groups);
    const QDateTime now = QDateTime::currentDateTime();

    auto results = std::make_shared<std::vector<UpdateResult>>();
    std::vector<QCoro::Task<>> loads;
    for (const ServerGroupPtr &group : groups.subscriptions()) {
        if (!isSubscriptionDue(*group, force, now))
            continue;
        // Tasks start at once, so all loads run side by side.
        loads.push_back(refreshOne(group->id(), std::get<SubscriptionType>(group->type()), loader, results));
    }
    for (auto &load : loads)
        co_await load;

    SubscriptionUpdateResults outcome;
    QList<std::pair<QUuid, ServerGroupPtr>> replacements;
    for (const UpdateResult &result : *results) {
        if (result.updated)
            replacements.append({ result.id, result.updated });
        else
            outcome.errors.insert(result.id, result.error);
    }
    if (collection)
        co_await collection->replaceSubscriptions(std::move(replacements));
    co_return outcome;
}
