#include "service/startconfiguration.h"

#include "core/tunnel/tunnelprovidererror.h"

#include <string_view>

using namespace json;

namespace {

[[noreturn]] void fail(const QString &reason)
{
    throw TunnelProviderError(TunnelProviderError::Code::startBackend, reason);
}

QString keyText(std::string_view key)
{
    return QString::fromLatin1(key.data(), qsizetype(key.size()));
}

const Json &entry(const Json &configuration, std::string_view key)
{
    const auto it = configuration.find(key);
    if (it == configuration.end())
        fail(QStringLiteral("the provider configuration has no \"%1\" entry").arg(keyText(key)));
    return *it;
}

[[noreturn]] void wrongType(std::string_view key, const char *expected)
{
    fail(QStringLiteral("the provider configuration entry \"%1\" is not %2")
             .arg(keyText(key), QString::fromLatin1(expected)));
}

QString textEntry(const Json &configuration, std::string_view key)
{
    const Json &value = entry(configuration, key);
    if (!value.is_string())
        wrongType(key, "text");
    return toString(value);
}

bool switchEntry(const Json &configuration, std::string_view key)
{
    const Json &value = entry(configuration, key);
    if (!value.is_boolean())
        wrongType(key, "a boolean");
    return value.get<bool>();
}

qint64 integerEntry(const Json &configuration, std::string_view key)
{
    const Json &value = entry(configuration, key);
    if (!value.is_number_integer())
        wrongType(key, "an integer");
    try {
        return toInt64(value);
    } catch (const DecodingError &) {
        wrongType(key, "a 64-bit integer");
    }
}

bool isPort(qint64 value)
{
    return value >= 1 && value <= 65535;
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

void checkSwitch(const char *name, bool provider, bool backend)
{
    if (provider != backend)
        fail(QStringLiteral("the %1 switch (%2) does not match the backend configuration (%3)")
                 .arg(QString::fromLatin1(name), onOff(provider), onOff(backend)));
}

} // namespace

std::optional<QString> serverProblem(const ServerSettings &server)
{
    if (address(server).trimmed().isEmpty())
        return QStringLiteral("the server address is empty");
    if (!isPort(port(server)))
        return QStringLiteral("the server port %1 is out of range").arg(port(server));
    return std::nullopt;
}

std::optional<QString> networkProblem(const NetworkSettings &network)
{
    if (network.httpProxy && !isPort(network.httpProxyPort))
        return QStringLiteral("the HTTP proxy port %1 is out of range").arg(network.httpProxyPort);
    return std::nullopt;
}

std::optional<QString> backendProblem(const BackendConfiguration &configuration)
{
    if (auto problem = serverProblem(configuration.serverSettings))
        return problem;
    return networkProblem(configuration.appSettings.network);
}

StartConfiguration readStartConfiguration(const QByteArray &payload)
{
    if (payload.trimmed().isEmpty())
        throw TunnelProviderError(TunnelProviderError::Code::invalidConfiguration);

    Json document;
    try {
        document = parse(payload);
    } catch (const DecodingError &error) {
        fail(QStringLiteral("the provider configuration does not decode: %1").arg(error.description()));
    }
    if (!document.is_object())
        fail(QStringLiteral("the provider configuration is not a JSON object"));

    StartConfiguration start;
    const QString backendText = textEntry(document, "backend");
    start.remoteAddress = textEntry(document, "remoteAddress");
    start.network.transparentProxy = switchEntry(document, "isTransparentProxy");
    start.network.httpProxy = switchEntry(document, "isHTTPProxy");
    start.network.systemProxy = switchEntry(document, "isSystemProxy");
    start.network.httpProxyPort = integerEntry(document, "httpProxyPort");

    // The application writes an empty text when it could not encode the configuration.
    if (backendText.isEmpty())
        fail(QStringLiteral("the backend configuration is empty"));
    try {
        start.backend = decodeBackendConfiguration(parse(backendText.toUtf8()));
    } catch (const Error &error) {
        fail(QStringLiteral("the backend configuration does not decode: %1").arg(error.description()));
    } catch (const std::exception &error) {
        fail(QStringLiteral("the backend configuration does not decode: %1").arg(QString::fromUtf8(error.what())));
    }

    if (auto problem = serverProblem(start.backend.serverSettings))
        fail(*problem);
    const QString serverAddress = address(start.backend.serverSettings);
    if (start.remoteAddress != serverAddress)
        fail(QStringLiteral("the remote address \"%1\" does not match the server address \"%2\"")
                 .arg(start.remoteAddress, serverAddress));
    if (auto problem = networkProblem(start.network))
        fail(*problem);

    const NetworkSettings &backendNetwork = start.backend.appSettings.network;
    checkSwitch("transparent proxy", start.network.transparentProxy, backendNetwork.transparentProxy);
    checkSwitch("HTTP proxy", start.network.httpProxy, backendNetwork.httpProxy);
    checkSwitch("system proxy", start.network.systemProxy, backendNetwork.systemProxy);
    if (start.network.httpProxyPort != backendNetwork.httpProxyPort)
        fail(QStringLiteral("the HTTP proxy port %1 does not match the backend configuration (%2)")
                 .arg(start.network.httpProxyPort)
                 .arg(backendNetwork.httpProxyPort));
    return start;
}
