#include "app/platform/linuxextensionactivation.h"

#include "app/platform/tunnelprogram.h"
#include "core/foundation/log.h"

LinuxExtensionActivation::LinuxExtensionActivation(
    QString programPath, std::chrono::milliseconds timeout, QObject *parent)
    : ExtensionActivation(parent)
    , m_programPath(std::move(programPath))
    , m_timeout(timeout)
{
}

void LinuxExtensionActivation::submit()
{
    logDebug(QStringLiteral("Checking the tunnel program at %1").arg(m_programPath));
    // Each request runs on its own, so a second submit() while one is pending is simply a second answer.
    auto *handshake = new TunnelHandshake(m_programPath, m_timeout, this);
    connect(handshake, &TunnelHandshake::succeeded, this, [this, handshake] {
        handshake->deleteLater();
        Q_EMIT finished(0);
    });
    connect(handshake, &TunnelHandshake::failed, this, [this, handshake](const QString &description) {
        handshake->deleteLater();
        Q_EMIT failed(description);
    });
    handshake->start();
}
