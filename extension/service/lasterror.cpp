#include "service/lasterror.h"

#include "core/foundation/log.h"
#include "core/tunnel/tunnelprovidererror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

QString lastErrorPath(const QString &socketPath)
{
    return QFileInfo(socketPath).absoluteDir().filePath(QStringLiteral("last-error.json"));
}

bool writeLastError(const QString &path, const TunnelProviderError &error)
{
    QByteArray bytes;
    try {
        bytes = json::serialize(encodePlatformError(PlatformError(error)));
    } catch (const Error &failure) {
        logError(QStringLiteral("Cannot encode the last error: %1").arg(failure.description()));
        return false;
    }
    QSaveFile file(path);
    // The temporary file gets these before a byte is written; the rename keeps them.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit()) {
        logError(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    return true;
}

void removeLastError(const QString &path)
{
    QFile file(path);
    if (file.exists() && !file.remove())
        logError(QStringLiteral("Cannot remove %1: %2").arg(path, file.errorString()));
}
