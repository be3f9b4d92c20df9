#include "testpeers.h"

#include "core/foundation/jsoncoding.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>

namespace peers {

namespace {

    const char *const caEnvironment = "SSL_CERT_FILE";

    QString certsFile(const char *name)
    {
        return QStringLiteral(WRENLOW_TEST_CERTS_DIR "/") + QString::fromLatin1(name);
    }

    bool acceptsConnections(quint16 port)
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(500);
    }

} // namespace

TestCaTrust::TestCaTrust()
    : m_previous(qEnvironmentVariableIsSet(caEnvironment) ? std::optional(qgetenv(caEnvironment)) : std::nullopt)
{
    qputenv(caEnvironment, QFile::encodeName(certsFile("ca.pem")));
}

TestCaTrust::~TestCaTrust()
{
    if (m_previous)
        qputenv(caEnvironment, *m_previous);
    else
        qunsetenv(caEnvironment);
}

ServerProcess::ServerProcess() = default;

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(
    const QString &program, const QStringList &arguments, const QByteArray &configuration, quint16 port, int timeoutMs)
{
    stop();
    m_port = port;
    QFile file(configurationFile());
    // Owner-only before the secrets go in.
    if (port == 0 || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || file.write(configuration) < 0) {
        m_error = QStringLiteral("no free port, or cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    file.close();

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    // A file, not a pipe: nobody has to drain it, and it is still there to explain a failure.
    m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("output.log")));
    m_process->setStandardInputFile(configurationFile());
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process->start(program, arguments);
    const QDeadlineTimer deadline(timeoutMs);
    bool started = m_process->waitForStarted(timeoutMs);
    // Waiting for the end doubles as the pause between attempts.
    while (started && !acceptsConnections(port)) {
        if (m_process->waitForFinished(50) || deadline.hasExpired())
            started = false;
    }
    if (!started) {
        m_error = QStringLiteral("%1 did not listen on port %2: %3 %4")
                      .arg(program)
                      .arg(port)
                      .arg(m_process->errorString(), QString::fromUtf8(output().trimmed()));
        stop();
    }
    return started;
}

void ServerProcess::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
}

qint64 ServerProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

QByteArray ServerProcess::output() const
{
    QFile file(m_dir.filePath(QStringLiteral("output.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool ProxyPeer::startShadowsocks(ShadowsocksCipher cipher, const QString &password)
{
    const quint16 port = freePort();
    Json config = Json::object();
    config["server"] = "127.0.0.1";
    config["server_port"] = port;
    config["password"] = json::fromString(password);
    // ss-server's names; its "chacha20-ietf-poly1305" is the AEAD cipher v2ray calls "chacha20-poly1305".
    config["method"] = cipher == ShadowsocksCipher::aes128Gcm ? "aes-128-gcm"
        : cipher == ShadowsocksCipher::aes256Gcm              ? "aes-256-gcm"
                                                              : "chacha20-ietf-poly1305";
    config["mode"] = "tcp_only";
    return m_process.start(QStringLiteral("ss-server"), { QStringLiteral("-c"), m_process.configurationFile() },
        json::serialize(config), port);
}

bool ProxyPeer::startV2Ray(const char *protocol, const QString &userId, Transport transport)
{
    const quint16 port = freePort();
    const bool vmess = qstrcmp(protocol, "vmess") == 0;
    Json client = Json::object();
    client["id"] = json::fromString(userId);
    Json inbound = Json::object();
    inbound["listen"] = "127.0.0.1";
    inbound["port"] = port;
    inbound["protocol"] = protocol;
    if (vmess)
        client["alterId"] = 0;
    else
        inbound["settings"]["decryption"] = "none";
    inbound["settings"]["clients"] = Json::array({ client });
    inbound["streamSettings"]["network"] = "tcp";
    if (transport == Transport::tls) {
        Json certificate = Json::object();
        certificate["certificateFile"] = json::fromString(certsFile("server.pem"));
        certificate["keyFile"] = json::fromString(certsFile("server-key.pem"));
        inbound["streamSettings"]["security"] = "tls";
        inbound["streamSettings"]["tlsSettings"]["certificates"] = Json::array({ certificate });
    }
    Json config = Json::object();
    config["log"]["loglevel"] = "info";
    config["inbounds"] = Json::array({ inbound });
    config["outbounds"] = Json::array({ Json { { "protocol", "freedom" }, { "settings", Json::object() } } });
    return m_process.start(QStringLiteral("v2ray"), { QStringLiteral("-config"), QStringLiteral("stdin:") },
        json::serialize(config), port);
}

Fetched fetchThroughProxy(const QUrl &url, quint16 proxyPort, int timeoutMs)
{
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxyPort));
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    const std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs * 2, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (!reply->isFinished())
        reply->abort();
    return Fetched { reply->error(), reply->errorString(), reply->isOpen() ? reply->readAll() : QByteArray() };
}

} // namespace peers
