#pragma once

#include "engine/enginestatswire.h"

#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// The engine's traffic counters, read through its statistics API (gRPC StatsService/QueryStats on
// 127.0.0.1, see EngineOptions::apiPort). Qt keeps one HTTP/2 connection open for every query, so
// that sampling once a second costs a stream, not a handshake; after a failure the next query
// opens a fresh one.
class EngineStats final : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(std::optional<EngineTraffic>)>;

    explicit EngineStats(
        quint16 apiPort, QObject *parent = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    ~EngineStats() override;
    Q_DISABLE_COPY_MOVE(EngineStats)

    // Reads and resets the engine's outbound counters. The handler gets the bytes moved since the
    // previous answer, or nullopt when the engine cannot be reached or answers out of shape or not
    // within the time-out (lastError() says why). It runs exactly once, never before this returns,
    // and is dropped when this object is destroyed first; it may destroy this object.
    // Returns false and drops the handler while an earlier query is pending: a sample that comes
    // too early is skipped, not queued.
    bool takeTraffic(Handler handler);

    bool isBusy() const { return bool(m_handler); }
    // Why the last query failed; empty after one that succeeded.
    QString lastError() const { return m_lastError; }

private:
    void readAnswer();
    void fail(const QString &reason);
    void abandonQuery();
    void finish(std::optional<EngineTraffic> traffic, const QString &error);

    const std::chrono::milliseconds m_timeout;
    const QNetworkRequest m_request;
    const QByteArray m_body;
    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
    QTimer m_timer;
    Handler m_handler;
    QString m_lastError;
};
