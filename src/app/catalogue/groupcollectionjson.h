#pragma once

#include "app/catalogue/servergroup.h"
#include "core/foundation/jsoncoding.h"

#include <optional>

class GroupCollection;

// The stored catalogue as read back, before the selection is resolved.
struct StoredGroups {
    QList<ServerGroupPtr> subscriptions;
    ServerGroupPtr manualGroup;
    std::optional<QUuid> selectedServerId;
};

Json encodeGroupType(const GroupType &type);
GroupType decodeGroupType(const Json &json);

// The catalogue as plain values, taken on the main thread and encoded on any other.
struct GroupRecord {
    GroupType type;
    QList<std::shared_ptr<const ServerRecord>> servers;
    QUuid id;
    QDateTime lastUpdated;
};

struct CollectionRecord {
    QList<GroupRecord> subscriptions;
    GroupRecord manualGroup;
    std::optional<QUuid> selectedServerId;
};

GroupRecord recordOf(const ServerGroup &group);
CollectionRecord recordOf(const GroupCollection &collection);
qsizetype serverCount(const CollectionRecord &record);

Json encodeServerGroup(const GroupRecord &group);
ServerGroupPtr decodeServerGroup(const Json &json);

Json encodeGroupCollection(const CollectionRecord &collection);
inline Json encodeGroupCollection(const GroupCollection &collection)
{
    return encodeGroupCollection(recordOf(collection));
}
// Throws DecodingError, also when the manual group is not of kind manual or a subscription group is.
StoredGroups decodeGroupCollection(const Json &json);
