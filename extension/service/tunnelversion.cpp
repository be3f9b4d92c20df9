#include "service/tunnelversion.h"

#include "core/foundation/jsoncoding.h"
#include "core/tunnel/ipcframe.h"

QString tunnelVersion()
{
    return QStringLiteral(WRENLOW_TUNNEL_VERSION);
}

QByteArray handshakeJson()
{
    Json j = Json::object();
    j["protocol"] = ipc::protocolVersion;
    j["version"] = json::fromString(tunnelVersion());
    return json::serialize(j);
}
