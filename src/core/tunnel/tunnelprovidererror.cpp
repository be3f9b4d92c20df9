#include "core/tunnel/tunnelprovidererror.h"

using namespace json;

QString TunnelProviderError::description() const
{
    switch (m_code) {
    case Code::setNetworkSettings:
        return QStringLiteral("Network error: ") + m_detail;
    case Code::startBackend:
        return QStringLiteral("Cannot start tunnel: ") + m_detail;
    case Code::custom:
        return m_detail;
    case Code::cannotLocateTunnelFileDescriptor:
        return QStringLiteral("Cannot locate tunnel file descriptor");
    case Code::invalidState:
        return QStringLiteral("Invalid state");
    case Code::invalidConfiguration:
        return QStringLiteral("Invalid configuration");
    }
    Q_UNREACHABLE();
}

PlatformError::PlatformError(const TunnelProviderError &error)
    : PlatformError(QString::fromLatin1(TunnelProviderError::domain), qint64(error.code()), error.description(),
        error.description())
{
}

Json encodePlatformError(const PlatformError &error)
{
    Json userInfo = Json::object();
    if (const auto description = error.userInfoDescription())
        userInfo["description"] = fromString(*description);
    Json j = Json::object();
    j["domain"] = fromString(error.domain());
    j["code"] = error.code();
    j["userInfo"] = std::move(userInfo);
    j["localizedDescription"] = fromString(error.description());
    return j;
}

PlatformError decodePlatformError(const Json &j)
{
    QString domain = stringAt(j, "domain");
    const qint64 code = int64At(j, "code");
    std::optional<QString> userInfoDescription;
    if (const Json *description = optionalMember(object(member(j, "userInfo")), "description");
        description && description->is_string())
        userInfoDescription = toString(*description);
    return PlatformError(std::move(domain), code, std::move(userInfoDescription), stringAt(j, "localizedDescription"));
}
