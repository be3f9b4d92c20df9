#include "app/tunnel/systemextensionmanager.h"

#include "core/foundation/log.h"

#include <QTimer>

SystemExtensionLoadStatus SystemExtensionLoadStatus::failed(QString description)
{
    SystemExtensionLoadStatus status(Kind::failed);
    status.m_failure = std::move(description);
    return status;
}

QString SystemExtensionLoadStatus::message() const
{
    switch (m_kind) {
    case Kind::failed:
        return QStringLiteral("Error: ") + m_failure;
    case Kind::unknown:
        return QString();
    case Kind::initializationRequested:
        return QStringLiteral("Initializing system extension...");
    case Kind::initializationTimeout:
        return QStringLiteral("System extension initialization timed out.");
    case Kind::success:
        return QStringLiteral("Success");
    case Kind::needsUserApproval:
        return QStringLiteral("Please approve system extension in System Settings...");
    case Kind::rebootRequired:
        return QStringLiteral("System reboot is required to update system extension.");
    }
    Q_UNREACHABLE();
}

SystemExtensionManager::SystemExtensionManager(
    ExtensionActivation &activation, std::function<void()> loadProfiles, QObject *parent)
    : QObject(parent)
    , m_activation(activation)
    , m_loadProfiles(std::move(loadProfiles))
{
    connect(&m_activation, &ExtensionActivation::needsUserApproval, this, &SystemExtensionManager::onNeedsUserApproval);
    connect(&m_activation, &ExtensionActivation::finished, this, &SystemExtensionManager::onFinished);
    connect(&m_activation, &ExtensionActivation::failed, this, &SystemExtensionManager::onFailed);
}

void SystemExtensionManager::setStatus(const SystemExtensionLoadStatus &status)
{
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT statusChanged();
}

void SystemExtensionManager::activate()
{
    logDebug(QStringLiteral("Initializing systemExtensions"));
    if (m_status.kind() == SystemExtensionLoadStatus::Kind::success)
        return;
    m_activation.submit();
    setStatus(SystemExtensionLoadStatus::Kind::initializationRequested);

    // One timer per request, as each request has its own time-out. QTimer runs on the monotonic
    // clock, so a change of the wall clock neither shortens nor stretches the wait.
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        timer->deleteLater();
        logDebug(QStringLiteral("systemExtensions initialization timeout"));
        // Any answer, even a request for approval, outranks the time-out.
        if (m_status.kind() == SystemExtensionLoadStatus::Kind::initializationRequested)
            setStatus(SystemExtensionLoadStatus::Kind::initializationTimeout);
    });
    timer->start(m_timeout);
}

void SystemExtensionManager::onNeedsUserApproval()
{
    logDebug(QStringLiteral("Received requestNeedsUserApproval"));
    setStatus(SystemExtensionLoadStatus::Kind::needsUserApproval);
}

void SystemExtensionManager::onFinished(int result)
{
    logDebug(QStringLiteral("Received didFinishWithResult: ") + QString::number(result));
    if (result == 0)
        setStatus(SystemExtensionLoadStatus::Kind::success);
    else if (result == 1)
        setStatus(SystemExtensionLoadStatus::Kind::rebootRequired);
    if (m_status.kind() != SystemExtensionLoadStatus::Kind::success)
        return;
    // Later, so the answer is fully handled before the profiles are touched.
    QMetaObject::invokeMethod(
        this, [this] { m_loadProfiles(); }, Qt::QueuedConnection);
}

void SystemExtensionManager::onFailed(const QString &description)
{
    logDebug(QStringLiteral("Received didFailWithError: ") + description);
    setStatus(SystemExtensionLoadStatus::failed(description));
}
