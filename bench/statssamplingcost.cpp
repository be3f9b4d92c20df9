#include "statssamplingcost.h"

#include "testsettings.h"
#include "tunnelprocesses.h"

#include "engine/engineconfig.h"
#include "engine/engineprocess.h"
#include "engine/enginestats.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace {

double ownCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A configuration as the tunnel writes it, for a server nobody needs to reach.
QByteArray engineConfiguration(quint16 httpPort, quint16 apiPort)
{
    BackendConfiguration backend { ShadowsockSettings { QStringLiteral("127.0.0.1"), 9, ShadowsocksCipher::aes256Gcm,
                                       QStringLiteral("bench") },
        AppSettings {} };
    backend.appSettings.network = NetworkSettings { false, true, false, httpPort };
    EngineOptions options;
    options.apiPort = apiPort;
    return QByteArray::fromStdString(makeEngineConfig(backend, options).document.dump());
}

// Runs one query to its end; false when it failed.
bool takeOnce(EngineStats &stats)
{
    QEventLoop loop;
    bool succeeded = false;
    stats.takeTraffic([&](std::optional<EngineTraffic> traffic) {
        succeeded = traffic.has_value();
        loop.quit();
    });
    loop.exec();
    return succeeded;
}

} // namespace

std::optional<StatsSamplingCost> measureStatsSamplingCost(
    int queries, std::chrono::milliseconds interval, const QString &engineProgram)
{
    const quint16 apiPort = freePort();
    EngineProcess engine(engineProgram);
    bool started = false;
    QString failure;
    {
        // The engine answers within its own start time-out, one way or the other.
        QEventLoop loop;
        QObject::connect(&engine, &EngineProcess::started, &loop, [&] {
            started = true;
            loop.quit();
        });
        QObject::connect(&engine, &EngineProcess::failed, &loop, [&](const QString &reason) {
            failure = reason;
            loop.quit();
        });
        engine.start(engineConfiguration(freePort(), apiPort));
        loop.exec();
    }
    if (!started) {
        std::fprintf(stderr, "the engine %s did not start: %s\n", qPrintable(engineProgram), qPrintable(failure));
        return std::nullopt;
    }

    EngineStats stats(apiPort);
    if (!takeOnce(stats)) {
        std::fprintf(stderr, "the engine's statistics could not be read: %s\n", qPrintable(stats.lastError()));
        return std::nullopt;
    }

    StatsSamplingCost cost;
    if (queries <= 0)
        return cost;
    QEventLoop loop;
    QTimer next;
    next.setSingleShot(true);
    next.setInterval(interval);
    QObject::connect(&next, &QTimer::timeout, &loop, [&] {
        stats.takeTraffic([&](std::optional<EngineTraffic> traffic) {
            ++cost.queries;
            if (!traffic)
                ++cost.failures;
            if (cost.queries < queries)
                next.start();
            else
                loop.quit();
        });
    });

    const double engineBefore = processCpuSeconds(engine.processId());
    const double clientBefore = ownCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    next.start();
    loop.exec();
    cost.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    cost.clientCpuSeconds = ownCpuSeconds() - clientBefore;
    const double engineAfter = processCpuSeconds(engine.processId());
    if (engineBefore >= 0 && engineAfter >= 0)
        cost.engineCpuSeconds = engineAfter - engineBefore;
    engine.stop();
    return cost;
}

void printStatsSamplingCost(const StatsSamplingCost &cost, std::chrono::milliseconds interval)
{
    const double perQueryClient = cost.queries > 0 ? cost.clientCpuSeconds / cost.queries * 1e6 : 0;
    std::printf("EngineStats::takeTraffic, %d queries %lld ms apart (%d failed), %.3f s:\n", cost.queries,
        static_cast<long long>(interval.count()), cost.failures, cost.wallSeconds);
    std::printf("  tunnel: %8.1f us CPU per query = %.4f %% of one core at one query per second\n", perQueryClient,
        cost.clientPercentAtOneHz());
    if (cost.engineCpuSeconds >= 0)
        std::printf(
            "  engine: %8.1f us CPU per query = %.4f %% of one core at one query per second (10 ms clock ticks)\n",
            cost.engineCpuSeconds / cost.queries * 1e6, cost.enginePercentAtOneHz());
    else
        std::printf("  engine: CPU time unreadable\n");
}
