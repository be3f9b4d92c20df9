#pragma once

#include "core/foundation/jsoncoding.h"
#include "core/settings/appsettings.h"

// JSON form of the settings, read by this program and by the tunnel program.
// Decoding is strict except where stored documents may lack members; it throws DecodingError.
Json encodeAppSettings(const AppSettings &settings);
AppSettings decodeAppSettings(const Json &json);

Json encodeNetworkSettings(const NetworkSettings &settings);
NetworkSettings decodeNetworkSettings(const Json &json);
