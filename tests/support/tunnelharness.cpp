#include "tunnelharness.h"

#include "testsettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <sys/resource.h>

namespace tunneltest {

BackendConfiguration backendFor(const QString &address, qint64 port)
{
    return { ShadowsockSettings { address, port, ShadowsocksCipher::chacha20Poly1305, QStringLiteral("secret") },
        loopbackSettings() };
}

VLESSSettings realityServer(const QString &address, qint64 port)
{
    VLESSSettings reality;
    reality.address = address;
    reality.port = port;
    reality.userId = QStringLiteral("b831381d-6324-4d53-ad4f-8cda48b30811");
    reality.encryption = QStringLiteral("none");
    reality.security = QStringLiteral("reality");
    reality.publicKey = QStringLiteral("jNXHt1yRo0vDuchQlIP6Z0ZvjT3KtzVI-T4E7RoLJS0");
    return reality;
}

Json providerConfiguration(const BackendConfiguration &backend)
{
    const NetworkSettings &network = backend.appSettings.network;
    Json j = Json::object();
    j["backend"] = json::fromString(QString::fromUtf8(json::serialize(encodeBackendConfiguration(backend))));
    j["remoteAddress"] = json::fromString(address(backend.serverSettings));
    j["isTransparentProxy"] = network.transparentProxy;
    j["isHTTPProxy"] = network.httpProxy;
    j["isSystemProxy"] = network.systemProxy;
    j["httpProxyPort"] = network.httpProxyPort;
    return j;
}

QString proxyMode(const QProcessEnvironment &environment, const QString &set)
{
    QProcess tool;
    tool.setProcessEnvironment(environment);
    const QStringList key { QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode") };
    tool.start(QStringLiteral("gsettings"),
        (set.isEmpty() ? QStringList { QStringLiteral("get") } + key
                       : QStringList { QStringLiteral("set") } + key + QStringList { set }));
    return tool.waitForFinished(10000) ? QString::fromUtf8(tool.readAllStandardOutput()).trimmed()
                                       : QStringLiteral("<none>");
}

TunnelProcess::TunnelProcess()
    : m_socketPath(m_dir.filePath(QStringLiteral("run/tunnel.sock")))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setProcessEnvironment(environment());
}

QProcessEnvironment TunnelProcess::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    return env;
}

TunnelProcess::~TunnelProcess()
{
    if (terminateAndWait() == -1 && m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool TunnelProcess::launch(int fileLimit)
{
    if (fileLimit > 0) {
        m_process.setChildProcessModifier([fileLimit] {
            const rlimit limit { rlim_t(fileLimit), rlim_t(fileLimit) };
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
    }
    m_process.start(QStringLiteral(WRENLOW_TUNNEL_PATH), { QStringLiteral("--socket"), m_socketPath });
    return m_process.waitForStarted(10000);
}

int TunnelProcess::openFiles() const
{
    if (m_process.state() != QProcess::Running)
        return -1;
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(m_process.processId()))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

int TunnelProcess::exitCode()
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(10000))
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

int TunnelProcess::terminateAndWait()
{
    if (m_process.state() != QProcess::NotRunning)
        m_process.terminate();
    return exitCode();
}

bool TunnelClient::connectTo(const QString &socketPath)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        m_socket.connectToServer(socketPath);
        if (m_socket.waitForConnected(1000))
            return true;
        m_socket.abort();
        QTest::qWait(20);
    }
    return false;
}

quint32 TunnelClient::send(ipc::Kind kind, const QByteArray &payload)
{
    const quint32 id = m_nextId++;
    sendRaw(ipc::encode(ipc::Frame { kind, id, payload }));
    return id;
}

const QList<ipc::Frame> &TunnelClient::readFrames()
{
    m_reader.append(m_socket.readAll());
    while (auto frame = m_reader.next())
        m_frames.append(std::move(*frame));
    return m_frames;
}

std::optional<ipc::Frame> TunnelClient::waitFor(quint32 id, std::optional<ipc::Kind> kind)
{
    std::optional<ipc::Frame> found;
    [[maybe_unused]] const bool arrived = QTest::qWaitFor(
        [&] {
            for (const ipc::Frame &frame : readFrames()) {
                if (frame.id == id && (!kind || frame.kind == *kind))
                    return (found = frame).has_value();
            }
            return false;
        },
        10000);
    return found;
}

std::optional<TunnelRequestResult> TunnelClient::ask(const TunnelRequest &request)
{
    const auto answer = waitFor(sendRequest(request));
    try {
        if (answer && answer->kind == ipc::Kind::response)
            return decodeTunnelRequestResult(answer->payload);
    } catch (const Error &) {
    }
    return std::nullopt;
}

int TunnelClient::statusOf(const std::optional<ipc::Frame> &frame)
{
    try {
        if (frame)
            return int(json::int64At(json::parse(frame->payload), "status"));
    } catch (const Error &) {
    }
    return -1;
}

bool TunnelClient::waitForDisconnected()
{
    return QTest::qWaitFor([&] { return readFrames(), m_socket.state() == QLocalSocket::UnconnectedState; }, 5000);
}

} // namespace tunneltest
