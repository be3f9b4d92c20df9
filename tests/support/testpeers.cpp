#include "testpeers.h"

#include "core/foundation/jsoncoding.h"

#include <QDeadlineTimer>
#include <QDir>
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
        return QDir(QStringLiteral(WRENLOW_TEST_CERTS_DIR)).filePath(QString::fromLatin1(name));
    }

    bool acceptsConnections(quint16 port)
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(500);
    }

} // namespace

QString testCaFile()
{
    return certsFile("ca.pem");
}

QString serverCertificateFile()
{
    return certsFile("server.pem");
}

QString serverKeyFile()
{
    return certsFile("server-key.pem");
}

TestCaTrust::TestCaTrust()
    : m_previous(qgetenv(caEnvironment))
    , m_hadPrevious(qEnvironmentVariableIsSet(caEnvironment))
{
    qputenv(caEnvironment, QFile::encodeName(testCaFile()));
}

TestCaTrust::~TestCaTrust()
{
    if (m_hadPrevious)
        qputenv(caEnvironment, m_previous);
    else
        qunsetenv(caEnvironment);
}

ServerProcess::ServerProcess() = default;

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::configurationFile() const
{
    return m_dir.filePath(QStringLiteral("config.json"));
}

bool ServerProcess::start(
    const QString &program, const QStringList &arguments, const QByteArray &configuration, quint16 port, int timeoutMs)
{
    stop();
    m_error.clear();
    m_port = port;
    if (!m_dir.isValid() || port == 0) {
        m_error = QStringLiteral("no temporary directory or no free port for %1").arg(program);
        return false;
    }

    QFile file(configurationFile());
    // Owner-only before the secrets go in.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || file.write(configuration) < 0) {
        m_error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
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
    if (!m_process->waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("%1 could not be started: %2").arg(program, m_process->errorString());
        m_process.reset();
        return false;
    }

    const QDeadlineTimer deadline(timeoutMs);
    while (!acceptsConnections(port)) {
        // Doubles as the pause between attempts.
        if (m_process->waitForFinished(50)) {
            m_error = QStringLiteral("%1 exited before it listened on port %2: %3")
                          .arg(program)
                          .arg(port)
                          .arg(QString::fromUtf8(output().trimmed()));
            m_process.reset();
            return false;
        }
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("%1 did not listen on port %2 in time: %3")
                          .arg(program)
                          .arg(port)
                          .arg(QString::fromUtf8(output().trimmed()));
            stop();
            return false;
        }
    }
    return true;
}

void ServerProcess::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
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

QString ssServerMethod(ShadowsocksCipher cipher)
{
    switch (cipher) {
    case ShadowsocksCipher::aes128Gcm:
        return QStringLiteral("aes-128-gcm");
    case ShadowsocksCipher::aes256Gcm:
        return QStringLiteral("aes-256-gcm");
    case ShadowsocksCipher::chacha20Poly1305:
        break;
    }
    // The same AEAD cipher that v2ray calls "chacha20-poly1305".
    return QStringLiteral("chacha20-ietf-poly1305");
}

bool ProxyPeer::startShadowsocks(ShadowsocksCipher cipher, const QString &password)
{
    const quint16 port = freePort();
    Json config = Json::object();
    config["server"] = "127.0.0.1";
    config["server_port"] = port;
    config["password"] = json::fromString(password);
    config["method"] = json::fromString(ssServerMethod(cipher));
    config["mode"] = "tcp_only";
    return m_process.start(QStringLiteral("ss-server"), { QStringLiteral("-c"), m_process.configurationFile() },
        json::serialize(config), port);
}

bool ProxyPeer::startVMess(const QString &userId, Transport transport)
{
    return startV2Ray("vmess", userId, transport);
}

bool ProxyPeer::startVLESS(const QString &userId, Transport transport)
{
    return startV2Ray("vless", userId, transport);
}

bool ProxyPeer::startV2Ray(const char *protocol, const QString &userId, Transport transport)
{
    const quint16 port = freePort();
    Json client = Json::object();
    client["id"] = json::fromString(userId);
    Json inbound = Json::object();
    inbound["listen"] = "127.0.0.1";
    inbound["port"] = port;
    inbound["protocol"] = protocol;
    const bool vmess = qstrcmp(protocol, "vmess") == 0;
    if (vmess)
        client["alterId"] = 0;
    inbound["settings"]["clients"] = Json::array({ client });
    if (!vmess)
        inbound["settings"]["decryption"] = "none";
    inbound["streamSettings"]["network"] = "tcp";
    if (transport == Transport::tls) {
        Json certificate = Json::object();
        certificate["certificateFile"] = json::fromString(serverCertificateFile());
        certificate["keyFile"] = json::fromString(serverKeyFile());
        inbound["streamSettings"]["security"] = "tls";
        inbound["streamSettings"]["tlsSettings"]["certificates"] = Json::array({ certificate });
    }
    Json outbound = Json::object();
    outbound["protocol"] = "freedom";
    outbound["settings"] = Json::object();

    Json config = Json::object();
    config["log"]["loglevel"] = "info";
    config["inbounds"] = Json::array({ inbound });
    config["outbounds"] = Json::array({ outbound });
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
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return Fetched { reply->error(), reply->errorString(), status, reply->isOpen() ? reply->readAll() : QByteArray() };
}

} // namespace peers
