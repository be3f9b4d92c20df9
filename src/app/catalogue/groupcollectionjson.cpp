#include "app/catalogue/groupcollectionjson.h"

#include "app/catalogue/groupcollection.h"
#include "core/catalogue/serverjson.h"

using namespace json;

Json encodeGroupType(const GroupType &type)
{
    if (const auto *subscription = std::get_if<SubscriptionType>(&type)) {
        Json payload = Json::object();
        payload["name"] = fromString(subscription->name);
        payload["url"] = fromString(subscription->url);
        payload["autoUpdate"] = subscription->autoUpdate;
        Json result = Json::object();
        result["subscription"] = std::move(payload);
        return result;
    }
    return emptyCase("manual");
}

GroupType decodeGroupType(const Json &j)
{
    const auto name = oneKey(j, { "subscription", "manual" });
    const Json &payload = object(member(j, name));
    if (name == "manual")
        return ManualType {};
    return SubscriptionType { stringAt(payload, "name"), stringAt(payload, "url"), boolAt(payload, "autoUpdate") };
}

GroupRecord recordOf(const ServerGroup &group)
{
    GroupRecord record { group.type(), {}, group.id(), group.lastUpdated() };
    record.servers.reserve(group.servers().size());
    for (const auto &server : group.servers())
        record.servers.append(server->record());
    return record;
}

CollectionRecord recordOf(const GroupCollection &collection)
{
    CollectionRecord record;
    record.subscriptions.reserve(collection.subscriptions().size());
    for (const auto &group : collection.subscriptions())
        record.subscriptions.append(recordOf(*group));
    record.manualGroup = recordOf(*collection.manualGroup());
    if (const auto selected = collection.selectedServer())
        record.selectedServerId = selected->id();
    return record;
}

qsizetype serverCount(const CollectionRecord &record)
{
    qsizetype count = record.manualGroup.servers.size();
    for (const auto &group : record.subscriptions)
        count += group.servers.size();
    return count;
}

Json encodeServerGroup(const GroupRecord &group)
{
    Json servers = Json::array();
    for (const auto &server : group.servers)
        servers.push_back(encodeServer(*server));
    Json j = Json::object();
    j["type"] = encodeGroupType(group.type);
    j["servers"] = std::move(servers);
    j["id"] = fromUuid(group.id);
    j["lastUpdated"] = fromDate(group.lastUpdated);
    return j;
}

ServerGroupPtr decodeServerGroup(const Json &j)
{
    GroupType type = decodeGroupType(member(j, "type"));
    QList<ServerPtr> servers;
    const Json &list = array(member(j, "servers"));
    servers.reserve(qsizetype(list.size()));
    for (const auto &server : list)
        servers.append(decodeServer(server));
    return std::make_shared<ServerGroup>(
        toUuid(member(j, "id")), std::move(type), std::move(servers), toDate(member(j, "lastUpdated")));
}

Json encodeGroupCollection(const CollectionRecord &collection)
{
    Json subscriptions = Json::array();
    for (const auto &group : collection.subscriptions)
        subscriptions.push_back(encodeServerGroup(group));
    Json j = Json::object();
    j["subscriptions"] = std::move(subscriptions);
    j["manualGroup"] = encodeServerGroup(collection.manualGroup);
    if (collection.selectedServerId)
        j["selectedServerId"] = fromUuid(*collection.selectedServerId);
    return j;
}

StoredGroups decodeGroupCollection(const Json &j)
{
    StoredGroups stored;
    for (const auto &group : array(member(j, "subscriptions"))) {
        stored.subscriptions.append(decodeServerGroup(group));
        if (stored.subscriptions.last()->isManual())
            throw DecodingError(
                DecodingError::Kind::dataCorrupted, QStringLiteral("A subscription group is of kind manual."));
    }
    stored.manualGroup = decodeServerGroup(member(j, "manualGroup"));
    if (!stored.manualGroup->isManual())
        throw DecodingError(DecodingError::Kind::dataCorrupted, QStringLiteral("The manual group is a subscription."));
    if (const Json *selected = optionalMember(j, "selectedServerId"))
        stored.selectedServerId = toUuid(*selected);
    return stored;
}
