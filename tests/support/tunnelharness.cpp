#include "tunnelharness.h"

#include "testsettings.h"

#include "core/settings/appsettingsjson.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>

namespace tunneltest {

BackendConfiguration backendFor(const QString &address, qint64 port)
{
    BackendConfiguration backend;
    backend.serverSettings
        = ShadowsockSettings { address, port, ShadowsocksCipher::chacha20Poly1305, QStringLiteral("secret") };
    backend.appSettings = loopbackSettings();
    return backend;
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

QByteArray providerPayload(const BackendConfiguration &backend)
{
    return json::serialize(providerConfiguration(backend));
}

int fileMode(const QString &path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

TunnelProcess::TunnelProcess()
    : m_socketPath(m_dir.filePath(QStringLiteral("run/tunnel.sock")))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setProcessEnvironment(environment());
}

QProcessEnvironment TunnelProcess::environment() const
{
    // The desktop's settings of a private configuration directory, never the user's own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    return env;
}

TunnelProcess::~TunnelProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
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

QString TunnelProcess::directory() const
{
    return QFileInfo(m_socketPath).absolutePath();
}

QString TunnelProcess::lastErrorPath() const
{
    return QDir(directory()).filePath(QStringLiteral("last-error.json"));
}

int TunnelProcess::terminateAndWait()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool TunnelProcess::waitForExit(int timeoutMs)
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
}

TunnelClient::TunnelClient(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QLocalSocket::readyRead, this, &TunnelClient::readFrames);
}

bool TunnelClient::connectTo(const QString &socketPath, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
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

void TunnelClient::sendRaw(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

void TunnelClient::readFrames()
{
    m_reader.append(m_socket.readAll());
    while (auto frame = m_reader.next()) {
        if (frame->id != 0)
            ++m_answerCounts[frame->id];
        m_frames.append(std::move(*frame));
    }
}

std::optional<ipc::Frame> TunnelClient::waitForAnswer(quint32 id, int timeoutMs)
{
    std::optional<ipc::Frame> found;
    [[maybe_unused]] const bool arrived = QTest::qWaitFor(
        [&] {
            readFrames();
            for (const ipc::Frame &frame : std::as_const(m_frames)) {
                if (frame.id == id) {
                    found = frame;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::optional<ipc::Frame> TunnelClient::waitForFrame(ipc::Kind kind, quint32 id, int timeoutMs)
{
    std::optional<ipc::Frame> found;
    [[maybe_unused]] const bool arrived = QTest::qWaitFor(
        [&] {
            readFrames();
            for (const ipc::Frame &frame : std::as_const(m_frames)) {
                if (frame.kind == kind && frame.id == id) {
                    found = frame;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::optional<TunnelRequestResult> TunnelClient::ask(const TunnelRequest &request, int timeoutMs)
{
    const auto answer = waitForAnswer(sendRequest(request), timeoutMs);
    if (!answer || answer->kind != ipc::Kind::response)
        return std::nullopt;
    try {
        return decodeTunnelRequestResult(answer->payload);
    } catch (const Error &) {
        return std::nullopt;
    }
}

int TunnelClient::statusOf(const ipc::Frame &frame)
{
    try {
        return int(json::int64At(json::parse(frame.payload), "status"));
    } catch (const Error &) {
        return -1;
    }
}

bool TunnelClient::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            readFrames();
            return m_socket.state() == QLocalSocket::UnconnectedState;
        },
        timeoutMs);
}

} // namespace tunneltest
