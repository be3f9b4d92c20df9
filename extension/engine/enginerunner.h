#pragma once

#include "core/tunnel/tunnelmessages.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class EngineProcess;

// Keeps one engine running for the tunnel's configuration: picks the engine the server needs,
// chooses the loopback ports of the tunnel's own inbound and of the statistics API, reads the
// GeoIP regions' ranges, and replaces the engine when the configuration changes.
class EngineRunner final : public QObject {
    Q_OBJECT

public:
    // Runs exactly once: with nothing when the engine runs, or the reason it cannot (lower case,
    // to follow "Cannot start tunnel: ").
    using Done = std::function<void(const std::optional<QString> &failure)>;

    explicit EngineRunner(QObject *parent = nullptr);
    ~EngineRunner() override;

    // Starts an engine for `backend` in place of the running one, which is stopped only once the
    // new configuration has passed every check that needs no engine. With the transparent proxy
    // on before and after, the running interception helper replaces the engine itself. A run still starting when
    // the next one arrives is given up: its `done` gets a failure.
    void run(const BackendConfiguration &backend, Done done);
    void stop();

    bool isRunning() const;
    qint64 processId() const;
    // The tunnel's own HTTP inbound and the statistics API of the running engine; 0 when none.
    quint16 tunnelPort() const { return m_tunnelPort; }
    quint16 apiPort() const { return m_apiPort; }

Q_SIGNALS:
    void started();
    // The running engine ended without being asked to.
    void died(const QString &reason);

private:
    // The rest of run(), once the server's addresses are known (empty: the engine looks the name up).
    void launch(const BackendConfiguration &backend, const QList<QHostAddress> &serverAddresses, Done done);
    void finishRun(const std::optional<QString> &failure);

    EngineProcess *m_engine = nullptr;
    Done m_pending;
    // Counts runs, so that a lookup for an abandoned one is dropped.
    quint64 m_runs = 0;
    bool m_lookingUp = false;
    quint16 m_tunnelPort = 0;
    quint16 m_apiPort = 0;
    // The running engine's HTTP proxy port and transparent port; 0 when it has none.
    quint16 m_httpPort = 0;
    quint16 m_transparentPort = 0;
};
