#pragma once

#include "app/tunnel/extensionactivation.h"

#include <chrono>

// On Linux nothing needs the user's or the system's approval: activation checks that the tunnel
// program is installed and speaks our protocol, by running its handshake.
class LinuxExtensionActivation final : public ExtensionActivation {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LinuxExtensionActivation)

public:
    explicit LinuxExtensionActivation(
        QString programPath, std::chrono::milliseconds timeout = std::chrono::seconds(5), QObject *parent = nullptr);

    void submit() override;

private:
    QString m_programPath;
    std::chrono::milliseconds m_timeout;
};
