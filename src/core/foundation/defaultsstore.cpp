#include "core/foundation/defaultsstore.h"

#include "core/foundation/log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner;

bool isValidKey(const QString &key)
{
    if (key.isEmpty())
        return false;
    for (const QChar c : key) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-' && c != u'_')
            return false;
    }
    return true;
}

} // namespace

DefaultsStore::DefaultsStore(QString directory)
    : m_directory(std::move(directory))
{
}

QString DefaultsStore::standardDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString DefaultsStore::filePath(const QString &key) const
{
    return m_directory + u'/' + key + QStringLiteral(".json");
}

std::optional<QByteArray> DefaultsStore::data(const QString &key) const
{
    if (!isValidKey(key))
        return std::nullopt;
    QFile file(filePath(key));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool DefaultsStore::writeFile(const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(m_directory)) {
        logError(QStringLiteral("Cannot create the configuration directory %1").arg(m_directory));
        return false;
    }
    QFile::setPermissions(m_directory, ownerOnly | QFile::ExeOwner);

    // QSaveFile writes a temporary file beside the target and renames it over the target only
    // after a complete write and sync, so a crash or a full disk never leaves a partial document.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnly) || file.write(bytes) != bytes.size()
        || !file.commit()) {
        logError(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    return true;
}

std::optional<QString> DefaultsStore::preserveUnreadable(const QString &key)
{
    const auto bytes = data(key);
    if (!bytes)
        return std::nullopt;
    const QString hash
        = QString::fromLatin1(QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex().left(12));
    const QString path = m_directory + u'/' + key + QStringLiteral(".unreadable-") + hash + QStringLiteral(".json");
    if (QFile::exists(path) || writeFile(path, *bytes))
        return path;
    return std::nullopt;
}

bool DefaultsStore::setData(const QString &key, const QByteArray &bytes)
{
    if (!isValidKey(key))
        return false;
    return writeFile(filePath(key), bytes);
}

bool DefaultsStore::remove(const QString &key)
{
    return isValidKey(key) && QFile::remove(filePath(key));
}
