#include "app/platform/linuxtunnelconnection.h"

#include "app/platform/tunnelprogram.h"
#include "core/foundation/log.h"

#include <QCoroSignal>
#include <QFile>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>

#include <algorithm>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Errors the application itself finds, as opposed to those the tunnel reports.
constexpr auto platformDomain = "Wrenlow.TunnelPlatform";
constexpr auto retryInterval = 100ms;
constexpr qint64 onDemandWindowMs = 60'000;

PlatformError localError(const QString &text)
{
    return PlatformError(QString::fromLatin1(platformDomain), 1, std::nullopt, text);
}

std::optional<VPNStatus> statusFrom(const Json &value)
{
    const qint64 number = json::toInt64(value);
    if (number < qint64(VPNStatus::invalid) || number > qint64(VPNStatus::disconnecting))
        return std::nullopt;
    return VPNStatus(number);
}

QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0);
}

} // namespace

LinuxTunnelConnection::LinuxTunnelConnection(std::shared_ptr<TunnelSite> site, QUuid profileId)
    : m_site(std::move(site))
    , m_profileId(profileId)
{
    m_clock.start();
    m_retryTimer.setSingleShot(true);
    m_phaseTimer.setSingleShot(true);
    m_onDemandTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &LinuxTunnelConnection::openSocket);
    connect(&m_onDemandTimer, &QTimer::timeout, this, &LinuxTunnelConnection::startOnDemand);
    connect(&m_phaseTimer, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::idle)
            return;
        if (m_phase == Phase::stopping) {
            // The user asked for the tunnel to go: one that hangs is terminated, not left behind
            // with the application showing "disconnecting" for ever.
            logError(QStringLiteral("The tunnel program did not stop within %1 seconds; terminating it")
                         .arg(seconds(m_site->timings.stopTimeout)));
            if (m_peerPid > 0 && m_peerPid != ::getpid())
                ::kill(pid_t(m_peerPid), SIGTERM);
            connectionLost();
        } else if (m_attaching || m_stopRequested) {
            connectionLost();
        } else {
            connectionLost(QStringLiteral("The tunnel program did not answer within %1 seconds")
                               .arg(seconds(m_site->timings.connectTimeout)));
        }
    });
}

LinuxTunnelConnection::~LinuxTunnelConnection()
{
    if (m_socket)
        m_socket->disconnect(this);
    if (m_site->activeProfile == m_profileId)
        m_site->activeProfile = QUuid();
    // Every handler runs exactly once, even when its connection goes away first.
    auto pending = std::exchange(m_pending, {});
    for (auto &handler : pending)
        answer(handler, std::nullopt);
}

void LinuxTunnelConnection::startVPNTunnel()
{
    if (const auto problem = tunnelProgramProblem(m_site->programPath)) {
        throw PlatformFailure(
            (*problem == ProgramProblem::missing ? QStringLiteral("The tunnel program is not installed at %1")
                                                 : QStringLiteral("The tunnel program at %1 is not executable"))
                .arg(m_site->programPath));
    }
    const auto profile = m_site->profiles.find(m_profileId);
    if (!profile)
        throw PlatformFailure(QStringLiteral("The tunnel profile has not been saved"));
    if (!profile->protocolConfiguration)
        throw PlatformFailure(QStringLiteral("The tunnel profile has no tunnel configuration"));
    if (!m_site->activeProfile.isNull() && m_site->activeProfile != m_profileId)
        throw PlatformFailure(QStringLiteral("Another tunnel profile is running"));

    m_stopRequested = false;
    m_onDemandTimer.stop();
    // The tunnel runs with the profile as saved, as a system's VPN service would start it.
    m_startConfiguration = profile->protocolConfiguration->providerConfiguration;
    if (m_attaching || m_phase == Phase::stopping) {
        m_startWhenIdle = true;
        return;
    }
    if (m_phase == Phase::connecting || m_phase == Phase::greeting) {
        // Stopped and started again while the program was still coming up: the start goes out after all.
        setStatus(VPNStatus::connecting);
        return;
    }
    if (m_phase != Phase::idle) {
        logDebug(QStringLiteral("The tunnel is already running"));
        return;
    }
    launch();
}

void LinuxTunnelConnection::launch()
{
    m_reportedError.reset();
    m_localError.reset();
    // A reason an earlier run left behind must not be taken for this run's.
    QFile::remove(lastErrorPathFor(m_site->socketPath));

    // Only the socket path goes on the command line; the configuration, which holds passwords,
    // travels over the socket.
    qint64 pid = 0;
    if (!QProcess::startDetached(
            m_site->programPath, { QStringLiteral("--socket"), m_site->socketPath }, QString(), &pid))
        throw PlatformFailure(QStringLiteral("The tunnel program at %1 cannot be started").arg(m_site->programPath));
    logInfo(QStringLiteral("Started the tunnel program, process %1").arg(pid));

    m_site->activeProfile = m_profileId;
    m_phase = Phase::connecting;
    setStatus(VPNStatus::connecting);
    m_phaseTimer.start(m_site->timings.connectTimeout);
    openSocket();
}

QCoro::Task<> LinuxTunnelConnection::attachToRunningTunnel()
{
    if (m_phase != Phase::idle)
        co_return;
    m_attaching = true;
    m_phase = Phase::connecting;
    m_phaseTimer.start(m_site->timings.attachTimeout);
    openSocket();
    // The socket may have failed on the spot, which settles the search before we could wait.
    if (m_attaching)
        co_await qCoro(this, &LinuxTunnelConnection::attachSettled);
}

void LinuxTunnelConnection::openSocket()
{
    m_reader = {};
    m_socket = new QLocalSocket(this);
    connect(m_socket, &QLocalSocket::connected, this, &LinuxTunnelConnection::socketConnected);
    connect(m_socket, &QLocalSocket::errorOccurred, this, [this] {
        if (m_phase == Phase::connecting)
            socketFailed();
    });
    connect(m_socket, &QLocalSocket::readyRead, this, &LinuxTunnelConnection::readFrames);
    connect(m_socket, &QLocalSocket::disconnected, this, [this] {
        // Frames sent just before the close (an error, the last answers) still count.
        readFrames();
        if (m_socket)
            connectionLost();
    });
    m_socket->connectToServer(m_site->socketPath);
}

void LinuxTunnelConnection::socketFailed()
{
    QLocalSocket *socket = std::exchange(m_socket, nullptr);
    socket->disconnect(this);
    socket->deleteLater();
    if (m_attaching) {
        // Nobody listens: no tunnel runs.
        connectionLost();
        return;
    }
    // A program we just launched may not listen yet; the phase timer ends the retries.
    m_retryTimer.start(retryInterval);
}

void LinuxTunnelConnection::socketConnected()
{
    // Configurations carry passwords: only a program of this user may be at the other end.
    ucred credentials {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0
        || credentials.uid != ::geteuid()) {
        connectionLost(QStringLiteral("The tunnel socket at %1 does not belong to this user").arg(m_site->socketPath));
        return;
    }
    m_peerPid = credentials.pid;
    m_phase = Phase::greeting;
    m_helloId = m_nextId++;
    send(ipc::Kind::hello, m_helloId, QByteArrayLiteral("{\"protocol\":1}"));
}

void LinuxTunnelConnection::readFrames()
{
    QLocalSocket *const socket = m_socket;
    if (!socket)
        return;
    m_reader.append(socket->readAll());
    const QPointer<LinuxTunnelConnection> self(this);
    // Handlers run from here may stop the tunnel or drop this socket; stop reading when they do.
    while (self && m_socket == socket) {
        const auto frame = m_reader.next();
        if (!frame) {
            if (m_reader.failed())
                connectionLost(QStringLiteral("The tunnel program sent a malformed message"));
            return;
        }
        if (!handleFrame(*frame) && self && m_socket == socket) {
            connectionLost(QStringLiteral("The tunnel program sent a message this version does not understand"));
            return;
        }
    }
}

bool LinuxTunnelConnection::handleFrame(const ipc::Frame &frame)
{
    try {
        switch (frame.kind) {
        case ipc::Kind::helloReply:
            return m_phase == Phase::greeting && frame.id == m_helloId && handleHelloReply(frame.payload);
        case ipc::Kind::status: {
            const auto status = statusFrom(json::member(json::object(json::parse(frame.payload)), "status"));
            if (!status)
                return false;
            // After a stop the application shows disconnecting until the tunnel is gone.
            if (m_phase == Phase::running)
                setStatus(*status);
            return true;
        }
        case ipc::Kind::response:
        case ipc::Kind::emptyResponse: {
            auto it = m_pending.find(frame.id);
            if (it == m_pending.end()) {
                logDebug(QStringLiteral("The tunnel answered request %1, which is not waiting").arg(frame.id));
                return true;
            }
            ResponseHandler handler = std::move(*it);
            m_pending.erase(it);
            answer(handler, frame.kind == ipc::Kind::response ? std::optional(frame.payload) : std::nullopt);
            return true;
        }
        case ipc::Kind::error:
            m_reportedError = decodePlatformError(json::parse(frame.payload));
            logError(QStringLiteral("The tunnel stopped: %1").arg(m_reportedError->description()));
            return true;
        case ipc::Kind::hello:
        case ipc::Kind::start:
        case ipc::Kind::stop:
        case ipc::Kind::request:
            return false;
        }
    } catch (const DecodingError &e) {
        logError(QStringLiteral("Unreadable message from the tunnel program: %1").arg(e.description()));
    }
    return false;
}

bool LinuxTunnelConnection::handleHelloReply(const QByteArray &payload)
{
    const Json reply = json::parse(payload);
    const qint64 protocol = json::int64At(json::object(reply), "protocol");
    if (protocol != ipc::protocolVersion) {
        connectionLost(QStringLiteral("The tunnel program speaks protocol %1, but this version needs protocol %2")
                           .arg(protocol)
                           .arg(ipc::protocolVersion));
        return true;
    }
    const auto status = statusFrom(json::member(reply, "status"));
    if (!status)
        return false;
    m_phaseTimer.stop();
    m_phase = Phase::running;

    if (m_attaching) {
        // A program that runs no tunnel is on its way out; there is nothing to adopt.
        if (*status == VPNStatus::disconnected || *status == VPNStatus::invalid) {
            connectionLost();
            return true;
        }
        logInfo(QStringLiteral("Found a running tunnel"));
        m_attaching = false;
        m_site->activeProfile = m_profileId;
        setStatus(*status);
        if (m_stopRequested)
            sendStop();
        Q_EMIT attachSettled();
        return true;
    }
    if (m_stopRequested)
        sendStop();
    else
        send(ipc::Kind::start, m_nextId++, json::serialize(encodeProviderConfiguration(m_startConfiguration)));
    return true;
}

void LinuxTunnelConnection::send(ipc::Kind kind, quint32 id, const QByteArray &payload)
{
    m_socket->write(ipc::encode({ kind, id, payload }));
}

void LinuxTunnelConnection::sendStop()
{
    send(ipc::Kind::stop, m_nextId++);
    m_phase = Phase::stopping;
    setStatus(VPNStatus::disconnecting);
    m_phaseTimer.start(m_site->timings.stopTimeout);
}

void LinuxTunnelConnection::stopVPNTunnel()
{
    m_stopRequested = true;
    m_startWhenIdle = false;
    m_onDemandTimer.stop();
    switch (m_phase) {
    case Phase::idle:
    case Phase::stopping:
        return;
    case Phase::connecting:
    case Phase::greeting:
        // The stop goes out as soon as the program answers, in place of the start.
        if (!m_attaching)
            setStatus(VPNStatus::disconnecting);
        return;
    case Phase::running:
        sendStop();
        return;
    }
}

void LinuxTunnelConnection::connectionLost(const QString &reason)
{
    m_retryTimer.stop();
    m_phaseTimer.stop();
    if (QLocalSocket *socket = std::exchange(m_socket, nullptr)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_reader = {};
    m_peerPid = 0;
    m_phase = Phase::idle;
    auto pending = std::exchange(m_pending, {});
    const bool wasAttaching = std::exchange(m_attaching, false);

    if (!wasAttaching) {
        if (m_site->activeProfile == m_profileId)
            m_site->activeProfile = QUuid();
        if (!reason.isEmpty()) {
            logError(reason);
            if (!m_reportedError)
                m_localError = localError(reason);
        } else if (m_status == VPNStatus::connecting && !m_reportedError) {
            m_localError = localError(QStringLiteral("The tunnel program stopped before it was connected"));
        }
        setStatus(VPNStatus::disconnected);
    }

    const QPointer<LinuxTunnelConnection> self(this);
    for (auto &handler : pending) {
        answer(handler, std::nullopt);
        if (!self)
            return;
    }
    if (m_phase != Phase::idle) {
        // A handler already started the tunnel again.
    } else if (std::exchange(m_startWhenIdle, false)) {
        try {
            launch();
        } catch (const PlatformFailure &e) {
            logError(e.description());
        }
    } else if (!wasAttaching && !m_stopRequested && m_onDemandEnabled) {
        scheduleOnDemandStart();
    }
    if (wasAttaching)
        Q_EMIT attachSettled();
}

void LinuxTunnelConnection::sendProviderMessage(const QByteArray &message, ResponseHandler handler)
{
    if (m_phase != Phase::running || !m_socket)
        throw PlatformFailure(QStringLiteral("The tunnel is not running"));
    if (quint32(message.size()) > ipc::maximumPayload)
        throw PlatformFailure(QStringLiteral("The message is too large for the tunnel"));
    const quint32 id = m_nextId++;
    m_pending.insert(id, std::move(handler));
    send(ipc::Kind::request, id, message);
}

QCoro::Task<std::optional<PlatformError>> LinuxTunnelConnection::fetchLastDisconnectError()
{
    if (m_reportedError)
        co_return m_reportedError;
    // The tunnel leaves its reason on disk too, for an application that was not listening.
    QFile file(lastErrorPathFor(m_site->socketPath));
    if (file.open(QIODevice::ReadOnly)) {
        try {
            co_return decodePlatformError(json::parse(file.readAll()));
        } catch (const DecodingError &e) {
            logError(QStringLiteral("Cannot read %1: %2").arg(file.fileName(), e.description()));
        }
    }
    co_return m_localError;
}

void LinuxTunnelConnection::setOnDemandEnabled(bool enabled)
{
    m_onDemandEnabled = enabled;
    if (!enabled)
        m_onDemandTimer.stop();
}

void LinuxTunnelConnection::startOnDemand()
{
    if (!m_onDemandEnabled || m_stopRequested || m_phase != Phase::idle)
        return;
    m_onDemandStarts.append(m_clock.elapsed());
    logInfo(QStringLiteral("Connect on demand: starting the tunnel"));
    try {
        startVPNTunnel();
    } catch (const PlatformFailure &e) {
        logError(QStringLiteral("Connect on demand cannot start the tunnel: %1").arg(e.description()));
    }
}

void LinuxTunnelConnection::scheduleOnDemandStart()
{
    const qint64 now = m_clock.elapsed();
    m_onDemandStarts.removeIf([now](qint64 started) { return now - started >= onDemandWindowMs; });
    qint64 delay = m_site->timings.onDemandDelay.count();
    const int limit = std::max(1, m_site->timings.onDemandTriesPerMinute);
    if (m_onDemandStarts.size() >= limit)
        delay = std::max(delay, m_onDemandStarts[m_onDemandStarts.size() - limit] + onDemandWindowMs - now);
    logInfo(QStringLiteral("The tunnel stopped unexpectedly; connect on demand starts it again in %1 seconds")
                .arg(seconds(std::chrono::milliseconds(delay))));
    m_onDemandTimer.start(std::chrono::milliseconds(delay));
}

void LinuxTunnelConnection::setStatus(VPNStatus status)
{
    if (status == m_status)
        return;
    m_status = status;
    // Delivered like a platform notification, after the call that caused it has returned;
    // receivers read status() when they handle it.
    QMetaObject::invokeMethod(this, &LinuxTunnelConnection::statusChanged, Qt::QueuedConnection);
}

void LinuxTunnelConnection::answer(ResponseHandler &handler, std::optional<QByteArray> response)
{
    try {
        handler(std::move(response));
    } catch (const std::exception &e) {
        logError(QStringLiteral("A tunnel message handler failed: %1").arg(QString::fromUtf8(e.what())));
    }
}
