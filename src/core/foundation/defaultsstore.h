#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The user's key-value store: one file per key, "<directory>/<key>.json", holding exactly the
// bytes given. Writes replace the file atomically and leave it readable by the user alone.
class DefaultsStore final {
public:
    explicit DefaultsStore(QString directory);

    // The user's configuration directory for this program (~/.config/wrenlow).
    static QString standardDirectory();

    QString directory() const { return m_directory; }
    QString filePath(const QString &key) const;

    // The stored bytes, or nothing when the key has no readable value.
    std::optional<QByteArray> data(const QString &key) const;
    // Replaces the value; on failure the previous value stays and false is returned.
    bool setData(const QString &key, const QByteArray &bytes);
    bool remove(const QString &key);
    // Keeps a copy of a value the program could not read, "<key>.unreadable-<hash>.json", so that
    // the next save, which replaces it, does not destroy the user's data. Returns the copy's path.
    std::optional<QString> preserveUnreadable(const QString &key);

private:
    bool writeFile(const QString &path, const QByteArray &bytes);

    QString m_directory;
};
