#pragma once

#include <QString>

#include <chrono>
#include <optional>

// What reading the engine's traffic counters costs, in CPU time on both sides of the API.
struct StatsSamplingCost {
    int queries = 0;
    int failures = 0;
    double wallSeconds = 0;
    // This process (the client), user + system.
    double clientCpuSeconds = 0;
    // The engine, user + system, from /proc; negative when it could not be read.
    double engineCpuSeconds = -1;

    // The share of one core taken when sampling once a second.
    double clientPercentAtOneHz() const { return queries > 0 ? 100.0 * clientCpuSeconds / queries : 0; }
    double enginePercentAtOneHz() const
    {
        return queries > 0 && engineCpuSeconds >= 0 ? 100.0 * engineCpuSeconds / queries : -1;
    }
};

// Starts the engine (the program's name or path, such as "v2ray") with the tunnel's own
// configuration and its statistics API on a free loopback port, opens the connection with one
// query, then measures `queries` more takeTraffic calls, each started `interval` after the
// previous answer (zero: back to back; one second: the tunnel's cadence). Runs the event loop
// itself, so it needs a QCoreApplication. nullopt, with the reason on stderr, when the engine
// does not start or the first query fails.
std::optional<StatsSamplingCost> measureStatsSamplingCost(
    int queries, std::chrono::milliseconds interval, const QString &engineProgram = QStringLiteral("v2ray"));

// One line per side on stdout, labelled with the interval.
void printStatsSamplingCost(const StatsSamplingCost &cost, std::chrono::milliseconds interval);
