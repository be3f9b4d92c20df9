#pragma once

#include "app/tunnel/extensionactivation.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

// Where the activation of the tunnel program stands, with the text the main window shows.
class SystemExtensionLoadStatus final {
public:
    enum class Kind {
        failed,
        unknown,
        initializationRequested,
        initializationTimeout,
        success,
        needsUserApproval,
        rebootRequired
    };

    // Implicit: every kind but failed is a whole status by itself.
    SystemExtensionLoadStatus(Kind kind = Kind::unknown)
        : m_kind(kind)
    {
    }
    // description: the platform's text for the failure.
    static SystemExtensionLoadStatus failed(QString description);

    Kind kind() const { return m_kind; }
    QString failure() const { return m_failure; }
    QString message() const;

    // Failures are equal when their texts are; other kinds carry nothing to compare.
    friend bool operator==(const SystemExtensionLoadStatus &a, const SystemExtensionLoadStatus &b)
    {
        return a.m_kind == b.m_kind && (a.m_kind != Kind::failed || a.m_failure == b.m_failure);
    }

private:
    Kind m_kind;
    QString m_failure;
};

Q_DECLARE_METATYPE(SystemExtensionLoadStatus)

// Activates the tunnel program with the operating system and, once that has succeeded, has the
// saved tunnel profiles loaded. Every outcome shows only in status.
class SystemExtensionManager final : public QObject {
    Q_OBJECT
    Q_PROPERTY(SystemExtensionLoadStatus status READ status NOTIFY statusChanged)

public:
    // loadProfiles runs after each successful activation; the application makes it start the VPN
    // manager's loadManager().
    SystemExtensionManager(
        ExtensionActivation &activation, std::function<void()> loadProfiles, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(SystemExtensionManager)

    SystemExtensionLoadStatus status() const { return m_status; }

    // How long a request may go unanswered before status says it timed out.
    std::chrono::milliseconds timeout() const { return m_timeout; }
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // Returns at once; the answer arrives later.
    void activate();

Q_SIGNALS:
    void statusChanged();

private:
    void setStatus(const SystemExtensionLoadStatus &status);
    void onNeedsUserApproval();
    void onFinished(int result);
    void onFailed(const QString &description);

    ExtensionActivation &m_activation;
    std::function<void()> m_loadProfiles;
    SystemExtensionLoadStatus m_status;
    std::chrono::milliseconds m_timeout = std::chrono::seconds(5);
};
