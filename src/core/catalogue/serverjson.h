#pragma once

#include "core/catalogue/server.h"
#include "core/catalogue/serversettings.h"
#include "core/foundation/jsoncoding.h"

// JSON form of servers and their settings; decoders throw DecodingError.
void to_json(Json &json, const ShadowsockSettings &settings);
void to_json(Json &json, const VMessSettings &settings);
void to_json(Json &json, const VLESSSettings &settings);
void from_json(const Json &json, ShadowsockSettings &settings);
void from_json(const Json &json, VMessSettings &settings);
void from_json(const Json &json, VLESSSettings &settings);

Json encodeServerSettings(const ServerSettings &settings);
ServerSettings decodeServerSettings(const Json &json);

Json encodeOnlineStatus(OnlineStatus status);
OnlineStatus decodeOnlineStatus(const Json &json);

Json encodeServer(const ServerRecord &server);
inline Json encodeServer(const Server &server)
{
    return encodeServer(*server.record());
}
ServerPtr decodeServer(const Json &json);
