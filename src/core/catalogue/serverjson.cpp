#include "core/catalogue/serverjson.h"

using namespace json;

void to_json(Json &j, const ShadowsockSettings &s)
{
    j = Json::object();
    j["address"] = fromString(s.address);
    j["port"] = s.port;
    j["cipher"] = fromString(rawValue(s.cipher));
    j["password"] = fromString(s.password);
}

void from_json(const Json &j, ShadowsockSettings &s)
{
    s.address = stringAt(j, "address");
    s.port = int64At(j, "port");
    const QString cipher = stringAt(j, "cipher");
    const auto parsed = cipherFromRawValue(cipher);
    if (!parsed)
        throw DecodingError(DecodingError::Kind::dataCorrupted,
            QStringLiteral("Cannot initialize ShadowsocksCipher from invalid String value %1").arg(cipher));
    s.cipher = *parsed;
    s.password = stringAt(j, "password");
}

void to_json(Json &j, const VMessSettings &s)
{
    j = Json::object();
    j["address"] = fromString(s.address);
    j["port"] = s.port;
    j["userId"] = fromString(s.userId);
    j["tls"] = s.tls;
    j["userAlterId"] = fromString(s.userAlterId);
    j["security"] = fromString(s.security);
}

void from_json(const Json &j, VMessSettings &s)
{
    s.address = stringAt(j, "address");
    s.port = int64At(j, "port");
    s.userId = stringAt(j, "userId");
    s.tls = boolAt(j, "tls");
    s.userAlterId = stringAt(j, "userAlterId");
    s.security = stringAt(j, "security");
}

void to_json(Json &j, const VLESSSettings &s)
{
    j = Json::object();
    j["address"] = fromString(s.address);
    j["port"] = s.port;
    j["userId"] = fromString(s.userId);
    j["flow"] = fromString(s.flow);
    j["encryption"] = fromString(s.encryption);
    j["security"] = fromString(s.security);
    j["sni"] = fromString(s.sni);
    j["fingerprint"] = fromString(s.fingerprint);
    j["publicKey"] = fromString(s.publicKey);
    j["shortId"] = fromString(s.shortId);
    j["spiderX"] = fromString(s.spiderX);
}

void from_json(const Json &j, VLESSSettings &s)
{
    s.address = stringAt(j, "address");
    s.port = int64At(j, "port");
    s.userId = stringAt(j, "userId");
    s.flow = stringAt(j, "flow");
    s.encryption = stringAt(j, "encryption");
    s.security = stringAt(j, "security");
    s.sni = stringAt(j, "sni");
    s.fingerprint = stringAt(j, "fingerprint");
    s.publicKey = stringAt(j, "publicKey");
    s.shortId = stringAt(j, "shortId");
    s.spiderX = stringAt(j, "spiderX");
}

namespace {

constexpr std::string_view settingsCases[] = { "shadowsocks", "vMess", "vless" };

template <typename Record> ServerSettings decodePayload(const Json &caseValue)
{
    Record record;
    from_json(member(caseValue, "settings"), record);
    return record;
}

} // namespace

Json encodeServerSettings(const ServerSettings &settings)
{
    Json payload = Json::object();
    std::visit([&](const auto &record) { payload["settings"] = record; }, settings);
    Json result = Json::object();
    result[std::string(settingsCases[settings.index()])] = std::move(payload);
    return result;
}

ServerSettings decodeServerSettings(const Json &j)
{
    const auto name = oneKey(j, { settingsCases[0], settingsCases[1], settingsCases[2] });
    const Json &value = member(j, name);
    if (name == settingsCases[0])
        return decodePayload<ShadowsockSettings>(value);
    if (name == settingsCases[1])
        return decodePayload<VMessSettings>(value);
    return decodePayload<VLESSSettings>(value);
}

Json encodeOnlineStatus(OnlineStatus status)
{
    switch (status) {
    case OnlineStatus::unknown:
        return emptyCase("unknown");
    case OnlineStatus::online:
        return emptyCase("online");
    case OnlineStatus::offline:
        return emptyCase("offline");
    }
    Q_UNREACHABLE();
}

OnlineStatus decodeOnlineStatus(const Json &j)
{
    const auto name = oneKey(j, { "unknown", "online", "offline" });
    object(member(j, name));
    if (name == "online")
        return OnlineStatus::online;
    if (name == "offline")
        return OnlineStatus::offline;
    return OnlineStatus::unknown;
}

Json encodeServer(const ServerRecord &server)
{
    Json j = Json::object();
    j["id"] = fromUuid(server.id);
    j["name"] = fromString(server.name);
    j["originalName"] = fromString(server.originalName);
    j["isInSubscription"] = server.isInSubscription;
    j["settings"] = encodeServerSettings(server.settings);
    return j;
}

ServerPtr decodeServer(const Json &j)
{
    // Read in key order so the first missing or mistyped key is the one reported.
    const QUuid id = toUuid(member(j, "id"));
    QString name = stringAt(j, "name");
    QString originalName = stringAt(j, "originalName");
    const bool isInSubscription = boolAt(j, "isInSubscription");
    return std::make_shared<Server>(
        id, std::move(name), std::move(originalName), decodeServerSettings(member(j, "settings")), isInSubscription);
}
