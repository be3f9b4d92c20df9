#include "core/tunnel/tunnelmessages.h"

#include "core/catalogue/serverjson.h"
#include "core/settings/appsettingsjson.h"

#include <QtEndian>

using namespace json;

Json encodeBackendConfiguration(const BackendConfiguration &configuration)
{
    Json j = Json::object();
    j["serverSettings"] = encodeServerSettings(configuration.serverSettings);
    j["appSettings"] = encodeAppSettings(configuration.appSettings);
    return j;
}

BackendConfiguration decodeBackendConfiguration(const Json &j)
{
    ServerSettings serverSettings = decodeServerSettings(member(j, "serverSettings"));
    return BackendConfiguration { std::move(serverSettings), decodeAppSettings(member(j, "appSettings")) };
}

namespace {

// Case names in declaration order, indexed like the variants.
constexpr std::string_view requestCases[] = { "change", "changeNetworkSettings", "checkStatus", "checkCurrentStatus",
    "fetchSubscription", "getGraphData", "getMemoryUsed" };
constexpr std::string_view resultCases[] = { "success", "failure", "fetchSubscription", "onlineStatus", "memoryUsed" };

QByteArray message(std::string_view caseName, Json payload)
{
    Json j = Json::object();
    j[std::string(caseName)] = std::move(payload);
    return serialize(j);
}

// Which case a message holds, and its payload object.
template <size_t N> std::pair<size_t, const Json &> caseOf(const Json &j, const std::string_view (&cases)[N])
{
    if (!j.is_object() || j.size() != 1)
        throw DecodingError(DecodingError::Kind::typeMismatch, QString::fromLatin1(oneKeyMessage));
    const auto member = j.begin();
    for (size_t i = 0; i < N; ++i) {
        if (member.key() == cases[i])
            return { i, object(member.value()) };
    }
    throw DecodingError(DecodingError::Kind::typeMismatch, QString::fromLatin1(oneKeyMessage));
}

QUrl absoluteUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        throw DecodingError(DecodingError::Kind::dataCorrupted, QStringLiteral("Invalid URL string."));
    return url;
}

} // namespace

QByteArray encodeTunnelRequest(const TunnelRequest &request)
{
    using namespace TunnelRequests;
    Json payload = Json::object();
    std::visit(
        [&](const auto &r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, Change>)
                payload["backendSettings"] = encodeBackendConfiguration(r.backendSettings);
            else if constexpr (std::is_same_v<T, ChangeNetworkSettings>)
                payload["network"] = encodeNetworkSettings(r.network);
            else if constexpr (std::is_same_v<T, CheckStatus>)
                payload["settings"] = encodeServerSettings(r.settings);
            else if constexpr (std::is_same_v<T, FetchSubscription>)
                payload["url"] = fromString(r.url.toString(QUrl::FullyEncoded));
        },
        request);
    return message(requestCases[request.index()], std::move(payload));
}

TunnelRequest decodeTunnelRequest(const QByteArray &bytes)
{
    using namespace TunnelRequests;
    const Json document = parse(bytes);
    const auto [index, payload] = caseOf(document, requestCases);
    switch (index) {
    case 0:
        return Change { decodeBackendConfiguration(member(payload, "backendSettings")) };
    case 1:
        return ChangeNetworkSettings { decodeNetworkSettings(object(member(payload, "network"))) };
    case 2:
        return CheckStatus { decodeServerSettings(member(payload, "settings")) };
    case 3:
        return CheckCurrentStatus {};
    case 4:
        return FetchSubscription { absoluteUrl(stringAt(payload, "url")) };
    case 5:
        return GetGraphData {};
    default:
        return GetMemoryUsed {};
    }
}

QByteArray encodeTunnelRequestResult(const TunnelRequestResult &result)
{
    using namespace TunnelResults;
    Json payload = Json::object();
    std::visit(
        [&](const auto &r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, Failure>)
                payload["reason"] = fromString(r.reason);
            else if constexpr (std::is_same_v<T, FetchSubscription>)
                payload["data"] = r.data.toBase64().toStdString();
            else if constexpr (std::is_same_v<T, OnlineStatusResult>)
                payload["status"] = encodeOnlineStatus(r.status);
            else if constexpr (std::is_same_v<T, MemoryUsed>)
                payload["amount"] = r.amount;
        },
        result);
    return message(resultCases[result.index()], std::move(payload));
}

TunnelRequestResult decodeTunnelRequestResult(const QByteArray &bytes)
{
    using namespace TunnelResults;
    const Json document = parse(bytes);
    const auto [index, payload] = caseOf(document, resultCases);
    switch (index) {
    case 0:
        return Success {};
    case 1:
        return Failure { stringAt(payload, "reason") };
    case 2: {
        const auto decoded = QByteArray::fromBase64Encoding(
            stringAt(payload, "data").toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            throw DecodingError(
                DecodingError::Kind::dataCorrupted, QStringLiteral("Encountered Data is not valid Base64."));
        return FetchSubscription { *decoded };
    }
    case 3:
        return OnlineStatusResult { decodeOnlineStatus(member(payload, "status")) };
    default:
        return MemoryUsed { int64At(payload, "amount") };
    }
}

QByteArray encodeGraphData(qint64 received, qint64 sent, const QByteArray &graphBytes)
{
    QByteArray bytes(16, Qt::Uninitialized);
    qToLittleEndian<qint64>(received, bytes.data());
    qToLittleEndian<qint64>(sent, bytes.data() + 8);
    return bytes + graphBytes;
}

std::optional<GraphData> decodeGraphData(const QByteArray &bytes)
{
    if (bytes.size() < 16)
        return std::nullopt;
    GraphData graph;
    graph.received = qFromLittleEndian<qint64>(bytes.constData());
    graph.sent = qFromLittleEndian<qint64>(bytes.constData() + 8);
    graph.graphData = bytes.sliced(16);
    graph.dataSize = graph.graphData.size() / 4;
    return graph;
}
