#pragma once

#include "core/settings/appsettings.h"
#include "core/tunnel/tunnelmessages.h"

#include <QByteArray>
#include <QString>

#include <optional>

// What a start frame carries: the provider configuration of the profile, checked.
struct StartConfiguration {
    BackendConfiguration backend;
    QString remoteAddress;
    // The separate switches and port of the provider configuration.
    NetworkSettings network;
};

// Reads a start frame's payload ({"backend", "remoteAddress", "isTransparentProxy", "isHTTPProxy",
// "isSystemProxy", "httpProxyPort"}) and checks that the tunnel can run it. Throws
// TunnelProviderError: invalidConfiguration for an empty payload, otherwise startBackend with a
// reason that says what is wrong ("the server port 0 is out of range").
StartConfiguration readStartConfiguration(const QByteArray &payload);

// Why the tunnel cannot run with these, or nothing. Texts start in lower case, to follow a prefix.
std::optional<QString> serverProblem(const ServerSettings &server);
std::optional<QString> networkProblem(const NetworkSettings &network);
// The server's and the network settings' problem, in that order.
std::optional<QString> backendProblem(const BackendConfiguration &configuration);
