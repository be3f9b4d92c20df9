#pragma once

#include "app/catalogue/servergroup.h"
#include "core/foundation/error.h"

#include <QCoroTask>
#include <QDateTime>
#include <QHash>
#include <QUuid>

#include <memory>

class GroupCollection;
class SubscriptionLoader;

using ErrorPtr = std::shared_ptr<const Error>;

// The outcome of refreshing one subscription: exactly one of updated and error is set.
struct UpdateResult {
    QUuid id; // the group's id before the refresh
    ServerGroupPtr updated;
    ErrorPtr error;
};

struct SubscriptionUpdateResults {
    // Keyed by the id the failed group still has; empty when everything due was refreshed.
    QHash<QUuid, ErrorPtr> errors;
};

// A forced refresh takes every subscription; otherwise one with automatic updates that was last
// updated more than two hours before now.
bool isSubscriptionDue(const ServerGroup &group, bool force, const QDateTime &now);

// Loads every due subscription at once and merges the results into the catalogue in one turn of
// the main thread, after the last load has finished.
QCoro::Task<SubscriptionUpdateResults> updateSubscriptions(
    GroupCollection &groups, bool force, SubscriptionLoader &loader);
