#pragma once

#include "core/catalogue/serversettings.h"
#include "testsettings.h"

#include <QNetworkReply>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

class QProcess;

// Real servers for end-to-end tests and benchmarks: child processes on 127.0.0.1 only, each on a
// port of its own, killed when their owner dies.
namespace peers {

// The name the committed test certificate is for, besides 127.0.0.1.
inline const QString testServerName = QStringLiteral("wrenlow.test");

// Makes the engines started while it lives trust the committed test CA and nothing else: Go reads
// its roots from SSL_CERT_FILE. The previous value comes back afterwards.
class TestCaTrust final {
public:
    TestCaTrust();
    ~TestCaTrust();
    Q_DISABLE_COPY_MOVE(TestCaTrust)

private:
    std::optional<QByteArray> m_previous;
};

// One program serving on a port of 127.0.0.1; killed with its owner, and also when the process
// that started it dies, so a crashed test leaves nothing behind.
class ServerProcess final {
public:
    ServerProcess();
    ~ServerProcess();
    Q_DISABLE_COPY_MOVE(ServerProcess)

    // Where start() puts the configuration, for the program's arguments; only the user can read it.
    QString configurationFile() const { return m_dir.filePath(QStringLiteral("config.json")); }
    // Writes the configuration, runs the program with it also as its standard input ("-config
    // stdin:") and returns true once the port accepts connections. On false, errorString() says why.
    bool start(const QString &program, const QStringList &arguments, const QByteArray &configuration, quint16 port,
        int timeoutMs = 10000);
    // Kills the program and returns once it has gone.
    void stop();

    quint16 port() const { return m_port; }
    qint64 processId() const;
    QString errorString() const { return m_error; }
    // Everything the program printed so far.
    QByteArray output() const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_error;
};

// One GET through the HTTP proxy on 127.0.0.1:proxyPort, as a program using the tunnel's proxy makes it.
struct Fetched {
    QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
    QString errorString;
    QByteArray body;
    bool succeeded() const { return error == QNetworkReply::NoError; }
};
Fetched fetchThroughProxy(const QUrl &url, quint16 proxyPort, int timeoutMs = 15000);

enum class Transport { tcp, tls };

// A proxy server the engine under test connects to.
class ProxyPeer final {
public:
    bool startShadowsocks(ShadowsocksCipher cipher, const QString &password);
    // A v2ray "vmess" (alterId 0) or "vless" (decryption "none") server.
    bool startV2Ray(const char *protocol, const QString &userId, Transport transport);
    void stop() { m_process.stop(); }

    quint16 port() const { return m_process.port(); }
    QString errorString() const { return m_process.errorString(); }
    QByteArray output() const { return m_process.output(); }

private:
    ServerProcess m_process;
};

} // namespace peers
