#pragma once

#include "catalogue/servergroup.h"
#include "platform/jsoncoding.h"

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

Json encodeServerGroup(const ServerGroup &group);
ServerGroupPtr decodeServerGroup(const Json &json);

Json encodeGroupCollection(const GroupCollection &collection);
// Throws DecodingError, also when the manual group is not of kind manual or a subscription group is.
StoredGroups decodeGroupCollection(const Json &json);
