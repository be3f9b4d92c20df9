#pragma once

#include "core/catalogue/serversettings.h"
#include "core/foundation/jsoncoding.h"
#include "core/settings/appsettings.h"

#include <QByteArray>
#include <QUrl>

#include <optional>
#include <variant>

// Everything the tunnel runs with: the selected server and all application settings.
struct BackendConfiguration {
    ServerSettings serverSettings;
    AppSettings appSettings;
    friend bool operator==(const BackendConfiguration &, const BackendConfiguration &) = default;
};

Json encodeBackendConfiguration(const BackendConfiguration &configuration);
BackendConfiguration decodeBackendConfiguration(const Json &json);

// Requests from the application to the running tunnel; each gets exactly one answer.
namespace TunnelRequests {
struct Change {
    BackendConfiguration backendSettings;
    friend bool operator==(const Change &, const Change &) = default;
};
struct ChangeNetworkSettings {
    NetworkSettings network;
    friend bool operator==(const ChangeNetworkSettings &, const ChangeNetworkSettings &) = default;
};
struct CheckStatus {
    ServerSettings settings;
    friend bool operator==(const CheckStatus &, const CheckStatus &) = default;
};
struct CheckCurrentStatus {
    friend bool operator==(const CheckCurrentStatus &, const CheckCurrentStatus &) = default;
};
struct FetchSubscription {
    // Absolute; sent as its full text.
    QUrl url;
    friend bool operator==(const FetchSubscription &, const FetchSubscription &) = default;
};
struct GetGraphData {
    friend bool operator==(const GetGraphData &, const GetGraphData &) = default;
};
struct GetMemoryUsed {
    friend bool operator==(const GetMemoryUsed &, const GetMemoryUsed &) = default;
};
} // namespace TunnelRequests

using TunnelRequest = std::variant<TunnelRequests::Change, TunnelRequests::ChangeNetworkSettings,
    TunnelRequests::CheckStatus, TunnelRequests::CheckCurrentStatus, TunnelRequests::FetchSubscription,
    TunnelRequests::GetGraphData, TunnelRequests::GetMemoryUsed>;

// The tunnel's answers.
namespace TunnelResults {
struct Success {
    friend bool operator==(const Success &, const Success &) = default;
};
struct Failure {
    QString reason;
    friend bool operator==(const Failure &, const Failure &) = default;
};
struct FetchSubscription {
    QByteArray data;
    friend bool operator==(const FetchSubscription &, const FetchSubscription &) = default;
};
struct OnlineStatusResult {
    OnlineStatus status = OnlineStatus::unknown;
    friend bool operator==(const OnlineStatusResult &, const OnlineStatusResult &) = default;
};
struct MemoryUsed {
    qint64 amount = 0;
    friend bool operator==(const MemoryUsed &, const MemoryUsed &) = default;
};
} // namespace TunnelResults

using TunnelRequestResult = std::variant<TunnelResults::Success, TunnelResults::Failure,
    TunnelResults::FetchSubscription, TunnelResults::OnlineStatusResult, TunnelResults::MemoryUsed>;

// Compact JSON, one member named after the case; decoders throw DecodingError.
QByteArray encodeTunnelRequest(const TunnelRequest &request);
TunnelRequest decodeTunnelRequest(const QByteArray &bytes);
QByteArray encodeTunnelRequestResult(const TunnelRequestResult &result);
TunnelRequestResult decodeTunnelRequestResult(const QByteArray &bytes);

// One snapshot of the traffic figures. The wire form is not JSON: receive and send speed as
// 64-bit little-endian integers, then the graph bytes, four series of dataSize bars.
struct GraphData {
    qint64 dataSize = 0;
    QByteArray graphData;
    qint64 received = 0;
    qint64 sent = 0;
    friend bool operator==(const GraphData &, const GraphData &) = default;
};

QByteArray encodeGraphData(qint64 received, qint64 sent, const QByteArray &graphBytes);
// nullopt when the answer is too short to hold the two counters.
std::optional<GraphData> decodeGraphData(const QByteArray &bytes);
