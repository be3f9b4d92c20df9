#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QObject;
class QThreadPool;

// What reading a key found. A file that exists but cannot be opened or read is not "absent": the
// store refuses to replace it until it can be read again, so the user's data survives.
struct StoredValue {
    enum class State { absent, present, unreadable };
    State state = State::absent;
    QByteArray bytes;
    // Why an existing file could not be read.
    QString error;
};

// A problem of the store, or the end of one, for whoever tells the user.
struct StoreEvent {
    enum class Kind {
        written, // a write succeeded: a failure streak of this key is over
        writeFailed, // reason says why; the previous document stays
        unreadable, // the file exists but cannot be read; path names it
        preserved, // a document that did not decode was copied to path
    };
    Kind kind;
    QString key;
    QString reason;
    QString path;
};

// The user's key-value store: one file per key, "<directory>/<key>.json", holding exactly the
// bytes given. Writes replace the file atomically and leave it readable by the user alone.
// Safe to use from the main thread and its own writer thread at once.
class DefaultsStore final {
public:
    // Removes what killed writers left behind in the directory (see removeStaleTemporaries).
    explicit DefaultsStore(QString directory);
    // Lets the writes still queued land: at a normal quit they already have (see afterPendingWrites).
    ~DefaultsStore();
    Q_DISABLE_COPY_MOVE(DefaultsStore)

    // The user's configuration directory for this program (~/.config/wrenlow).
    static QString standardDirectory();

    QString directory() const { return m_directory; }
    QString filePath(const QString &key) const;

    // Tells absent from unreadable; an unreadable file is logged and reported to the observer.
    StoredValue read(const QString &key) const;
    // The stored bytes, or nothing when the key has no readable value.
    std::optional<QByteArray> data(const QString &key) const;
    // Replaces the value; on failure the previous value stays, false is returned and the observer
    // hears why. A file that exists but cannot be read is never replaced. While writes of this key
    // are queued, use setDataLater instead, or an older queued write would land after this one.
    bool setData(const QString &key, const QByteArray &bytes);
    // Produces the bytes and writes them on the store's one writer thread, in the order of the
    // calls. A queued write that a later one of the same key covers is skipped without producing.
    void setDataLater(const QString &key, std::function<std::optional<QByteArray>()> produce);
    bool hasPendingWrites() const;
    bool hasPendingWrites(const QString &key) const;
    // Calls done on the main thread once every write queued so far has landed, unless context is
    // gone by then; at once (through the event loop) when nothing is queued.
    void afterPendingWrites(QObject *context, std::function<void()> done);
    // Reads the key on the writer thread, after the writes queued so far, and hands the value to work
    // there; what work returns runs on the main thread, unless context is gone by then.
    void readLater(
        const QString &key, QObject *context, std::function<std::function<void()>(const StoredValue &)> work);
    // Blocks until the queued writes have landed: for the end of the process and for tests only.
    void waitForPendingWrites();

    bool remove(const QString &key);
    // Keeps a copy of a value the program could not read, "<key>.unreadable-<hash>.json", so that
    // the next save, which replaces it, does not destroy the user's data. Returns the copy's path.
    std::optional<QString> preserveUnreadable(const QString &key);

    // Told of every write's outcome and of unreadable documents, on the thread where it happened.
    void setObserver(std::function<void(const StoreEvent &)> observer);

private:
    bool writeFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);
    std::optional<QString> copyAside(const QString &key, const QByteArray &bytes);
    // A document found unreadable may only be replaced once it can be read and has been copied.
    bool mayReplace(const QString &key, QString *reason);
    void removeStaleTemporaries() const;
    void notify(const StoreEvent &event) const;

    QString m_directory;
    mutable QMutex m_mutex;
    std::function<void(const StoreEvent &)> m_observer;
    mutable QSet<QString> m_unreadableKeys;
    // The number of the latest queued write per key, and how many writes of each key are queued.
    QHash<QString, quint64> m_latestQueued;
    QHash<QString, int> m_queued;
    // One thread, so writes keep their order.
    std::unique_ptr<QThreadPool> m_writer;
};
