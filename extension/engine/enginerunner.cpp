#include "engine/enginerunner.h"

#include "core/foundation/log.h"
#include "engine/engineconfig.h"
#include "engine/engineprocess.h"
#include "engine/geoipranges.h"
#include "interception/interceptionlaunch.h"
#include "interception/ruleset.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QStandardPaths>
#include <QTcpServer>

#include "core/tunnel/tunnelprovidererror.h"

namespace {

bool needsXray(const ServerSettings &server)
{
    const auto *vless = std::get_if<VLESSSettings>(&server);
    return vless && (vless->security == QStringLiteral("reality") || !vless->flow.isEmpty());
}

// A port nobody listens on now. The engine binds it a moment later; another program taking it in
// between makes the start fail with the engine's own reason, never silently.
quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool portIsFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, port);
}

QHash<QString, QStringList> regionRanges(const AppSettings &app)
{
    QHash<QString, QStringList> ranges;
    if (!app.geoIP.isEnabled)
        return ranges;
    // WRENLOW_GEOIP_DIR holds another "geoip" and "geoip6" pair (tests).
    const QString directory = qEnvironmentVariable("WRENLOW_GEOIP_DIR");
    const QString ipv4
        = directory.isEmpty() ? QString::fromLatin1(geoip::ipv4File) : directory + QStringLiteral("/geoip");
    const QString ipv6
        = directory.isEmpty() ? QString::fromLatin1(geoip::ipv6File) : directory + QStringLiteral("/geoip6");
    for (const auto &region : app.geoIP.regions) {
        const QString country = geoip::countryCodeForTld(region.value);
        if (!country.isEmpty() && !ranges.contains(region.value))
            ranges.insert(region.value, geoip::rangesFor(country, ipv4, ipv6));
    }
    return ranges;
}

} // namespace

EngineRunner::EngineRunner(QObject *parent)
    : QObject(parent)
{
}

EngineRunner::~EngineRunner()
{
    // Pending callers are told nothing: they belong to the tunnel that is ending with us.
    m_pending = nullptr;
    stop();
}

void EngineRunner::run(const BackendConfiguration &backend, Done done)
{
    if (m_pending) {
        // The engine still starting was for the abandoned run: it must not go on as if current.
        // A run still looking its server up has not touched the running engine.
        if (!std::exchange(m_lookingUp, false))
            stop();
        finishRun(QStringLiteral("a newer configuration replaced this one"));
    }
    const quint64 run = ++m_runs;

    // With interception in place the engine's own lookup of the server's name could be
    // intercepted and need the very server it looks for: the name is looked up here, first.
    const QString host = address(backend.serverSettings).trimmed();
    if (QHostAddress literal; literal.setAddress(host) || !backend.appSettings.network.transparentProxy) {
        launch(backend, literal.isNull() ? QList<QHostAddress>() : QList<QHostAddress> { literal }, std::move(done));
        return;
    }
    m_pending = std::move(done);
    m_lookingUp = true;
    QHostInfo::lookupHost(host, this, [this, run, backend, host](const QHostInfo &found) {
        // A newer run has taken over, and told this one's caller.
        if (run != m_runs || !m_pending)
            return;
        m_lookingUp = false;
        Done done = std::exchange(m_pending, nullptr);
        if (found.addresses().isEmpty()) {
            done(QStringLiteral("the server's address %1 could not be looked up: %2").arg(host, found.errorString()));
            return;
        }
        launch(backend, found.addresses(), std::move(done));
    });
}

void EngineRunner::launch(const BackendConfiguration &backend, const QList<QHostAddress> &serverAddresses, Done done)
{
    EngineOptions options;
    if (!serverAddresses.isEmpty() && QHostAddress(address(backend.serverSettings).trimmed()).isNull())
        options.serverDialAddress = serverAddresses.first().toString();
    QString program;
    // The interception helper runs Debian's v2ray only: it takes no engine path from the tunnel.
    const bool transparent = backend.appSettings.network.transparentProxy;
    if (transparent && needsXray(backend.serverSettings)) {
        done(QStringLiteral("the server needs xray (REALITY or a VLESS flow), but the transparent proxy runs "
                            "Debian's v2ray only; turn the transparent proxy off to use this server through the "
                            "HTTP proxy"));
        return;
    }
    if (needsXray(backend.serverSettings)) {
        program = QStandardPaths::findExecutable(QStringLiteral("xray"));
        if (!program.isEmpty())
            options.kind = EngineKind::xray;
    }
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(QStringLiteral("v2ray"));

    // A helper that runs already takes the new engine in place of the old one: the interception
    // stays, at the same port, and the user is not asked for permission again.
    const bool replacing
        = transparent && m_engine && m_engine->throughHelper() && m_engine->isRunning() && m_transparentPort != 0;
    options.tunnelPort = freeLoopbackPort();
    options.apiPort = freeLoopbackPort();
    if (transparent)
        options.transparentPort = replacing ? m_transparentPort : freeLoopbackPort();
    options.transparentIPv6 = loopbackHasIPv6();
    options.regionRanges = regionRanges(backend.appSettings);
    QByteArray configuration;
    try {
        // Refuses, before anything starts, what the chosen engine cannot do safely.
        EngineConfig config = makeEngineConfig(backend, options);
        for (const QString &warning : std::as_const(config.warnings))
            logInfo(QStringLiteral("Warning: ") + warning);
        configuration = json::serialize(config.document);
    } catch (const TunnelProviderError &error) {
        done(error.detail());
        return;
    }
    if (program.isEmpty()) {
        done(QStringLiteral("the v2ray engine is not installed (no v2ray on PATH)"));
        return;
    }
    if (options.tunnelPort == 0 || options.apiPort == 0 || (transparent && options.transparentPort == 0)) {
        done(QStringLiteral("no loopback port is free for the engine"));
        return;
    }

    // Only now: a configuration refused above leaves the running engine alone.
    if (!replacing)
        stop();
    const NetworkSettings &network = backend.appSettings.network;
    const quint16 httpPort = network.httpProxy ? quint16(network.httpProxyPort) : 0;
    // A replaced engine still holds its own port until the helper stops it.
    if (httpPort != 0 && !(replacing && httpPort == m_httpPort) && !portIsFree(httpPort)) {
        done(QStringLiteral("the HTTP proxy port %1 is already in use by another program").arg(network.httpProxyPort));
        return;
    }

    m_pending = std::move(done);
    m_tunnelPort = options.tunnelPort;
    m_apiPort = options.apiPort;
    m_httpPort = httpPort;
    m_transparentPort = options.transparentPort;
    if (replacing) {
        m_engine->replace(configuration, serverAddresses);
        return;
    }
    EngineLaunch how;
    how.program = program;
    if (transparent) {
        // Its own connections carry the engine's mark and are never caught; the server's
        // addresses are skipped by the rules as well.
        how = interceptionLaunch(options.transparentPort, serverAddresses);
    }
    m_engine = new EngineProcess(how, this);
    connect(m_engine, &EngineProcess::started, this, [this] {
        logInfo(QStringLiteral("Engine running, process %1").arg(processId()));
        finishRun(std::nullopt);
        Q_EMIT started();
    });
    connect(m_engine, &EngineProcess::failed, this, [this](const QString &reason, bool interception) {
        stop();
        finishRun(interception ? reason : QStringLiteral("the engine did not start: %1").arg(reason));
    });
    connect(m_engine, &EngineProcess::exited, this, [this](const QString &reason) {
        stop();
        Q_EMIT died(reason);
    });
    m_engine->start(configuration);
}

void EngineRunner::stop()
{
    if (!m_engine)
        return;
    EngineProcess *engine = m_engine;
    m_engine = nullptr;
    m_tunnelPort = 0;
    m_apiPort = 0;
    m_httpPort = 0;
    m_transparentPort = 0;
    engine->disconnect(this);
    engine->stop();
    engine->deleteLater();
}

bool EngineRunner::isRunning() const
{
    return m_engine && m_engine->isRunning() && !m_pending;
}

qint64 EngineRunner::processId() const
{
    return m_engine ? m_engine->processId() : 0;
}

void EngineRunner::finishRun(const std::optional<QString> &failure)
{
    Done done = std::move(m_pending);
    m_pending = nullptr;
    if (done)
        done(failure);
}
