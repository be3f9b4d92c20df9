#include "core/foundation/defaultsstore.h"

#include "core/foundation/log.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThreadPool>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
// A temporary younger than this may belong to a writer that has created it but not locked it yet.
constexpr time_t temporaryGraceSeconds = 30;

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

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Renaming makes a write durable only once the directory entry itself is on disk.
void syncDirectory(const QString &directory)
{
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0)
        logError(QStringLiteral("Cannot sync the directory %1: %2").arg(directory, systemError()));
    if (fd >= 0)
        ::close(fd);
}

} // namespace

DefaultsStore::DefaultsStore(QString directory)
    : m_directory(std::move(directory))
    , m_writer(std::make_unique<QThreadPool>())
{
    m_writer->setMaxThreadCount(1);
    removeStaleTemporaries();
}

DefaultsStore::~DefaultsStore()
{
    waitForPendingWrites();
}

QString DefaultsStore::standardDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString DefaultsStore::filePath(const QString &key) const
{
    return m_directory + u'/' + key + QStringLiteral(".json");
}

void DefaultsStore::setObserver(std::function<void(const StoreEvent &)> observer)
{
    const QMutexLocker lock(&m_mutex);
    m_observer = std::move(observer);
}

void DefaultsStore::notify(const StoreEvent &event) const
{
    std::function<void(const StoreEvent &)> observer;
    {
        const QMutexLocker lock(&m_mutex);
        observer = m_observer;
    }
    if (observer)
        observer(event);
}

StoredValue DefaultsStore::read(const QString &key) const
{
    if (!isValidKey(key))
        return {};
    const QString path = filePath(key);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        // A key found unreadable earlier stays marked: what it holds now was never loaded.
        QByteArray bytes = file.readAll();
        if (file.error() == QFileDevice::NoError)
            return { StoredValue::State::present, std::move(bytes), {} };
    } else if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        return {};
    }
    const QString error = file.errorString();
    logError(QStringLiteral("Cannot read %1: %2; it is kept as it is and not replaced").arg(path, error));
    {
        const QMutexLocker lock(&m_mutex);
        m_unreadableKeys.insert(key);
    }
    notify({ StoreEvent::Kind::unreadable, key, error, path });
    return { StoredValue::State::unreadable, {}, error };
}

std::optional<QByteArray> DefaultsStore::data(const QString &key) const
{
    StoredValue value = read(key);
    if (value.state != StoredValue::State::present)
        return std::nullopt;
    return std::move(value.bytes);
}

void DefaultsStore::removeStaleTemporaries() const
{
    // QSaveFile names its temporary "<file>.XXXXXX". A writer holds an flock on it for the whole
    // write (see writeFile), in this process or another, so a temporary whose lock can be taken
    // belongs to a writer that was killed.
    static const QRegularExpression temporary(
        QStringLiteral("^[A-Za-z0-9_-]+(\\.unreadable-[0-9a-f]+)?\\.json\\.[A-Za-z0-9]{6}$"));
    const QDir dir(m_directory);
    const QStringList filter { QStringLiteral("*.json.??????") };
    const time_t now = std::time(nullptr);
    for (const QString &name : dir.entryList(filter, QDir::Files | QDir::Hidden | QDir::System)) {
        if (!temporary.match(name).hasMatch())
            continue;
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st { };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
            && now - st.st_mtime >= temporaryGraceSeconds && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (::unlink(path.constData()) == 0)
                logInfo(QStringLiteral("Removed %1, left by an interrupted save").arg(dir.filePath(name)));
        }
        ::close(fd);
    }
}

bool DefaultsStore::writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    const auto fail = [&](const QString &reason) {
        logError(QStringLiteral("Cannot write %1: %2").arg(path, reason));
        if (error)
            *error = reason;
        return false;
    };
    if (!QDir().mkpath(m_directory))
        return fail(QStringLiteral("the directory %1 cannot be created").arg(m_directory));
    QFile::setPermissions(m_directory, ownerOnly | QFile::ExeOwner);
    removeStaleTemporaries();

    // QSaveFile writes a temporary file beside the target and renames it over the target only
    // after a complete write and sync, so a crash or a full disk never leaves a partial document.
    // Unbuffered: a write error caught only when QFileDevice flushes its buffer at commit() does
    // not stop the commit, and a small document cut short by a full disk would replace the old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    // Marks the temporary as in use until the file closes, for removeStaleTemporaries.
    ::flock(file.handle(), LOCK_EX | LOCK_NB);
    if (!file.setPermissions(ownerOnly)) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    errno = 0;
    if (file.write(bytes) != bytes.size()) {
        // A short write sets no error on the device; the system call that stopped it did.
        const QString reason = errno != 0 ? systemError() : file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    syncDirectory(m_directory);
    return true;
}

std::optional<QString> DefaultsStore::copyAside(const QString &key, const QByteArray &bytes)
{
    const QString hash
        = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(12));
    const QString path = m_directory + u'/' + key + QStringLiteral(".unreadable-") + hash + QStringLiteral(".json");
    if (QFile::exists(path) || writeFile(path, bytes))
        return path;
    return std::nullopt;
}

std::optional<QString> DefaultsStore::preserveUnreadable(const QString &key)
{
    const auto bytes = data(key);
    if (!bytes)
        return std::nullopt;
    auto copy = copyAside(key, *bytes);
    if (copy)
        notify({ StoreEvent::Kind::preserved, key, {}, *copy });
    return copy;
}

bool DefaultsStore::mayReplace(const QString &key, QString *reason)
{
    const QString path = filePath(key);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        const QMutexLocker lock(&m_mutex);
        m_unreadableKeys.remove(key);
        return true;
    }
    QFile file(path);
    const auto refuse = [&] {
        *reason
            = QStringLiteral("%1 cannot be read (%2) and is kept rather than replaced").arg(path, file.errorString());
        return false;
    };
    if (!file.open(QIODevice::ReadOnly))
        return refuse();
    {
        const QMutexLocker lock(&m_mutex);
        if (!m_unreadableKeys.contains(key))
            return true;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return refuse();
    // Readable again, but the program started without it: what it holds is not in memory.
    const auto copy = copyAside(key, bytes);
    if (!copy) {
        *reason = QStringLiteral("%1 could not be copied aside before it is replaced").arg(path);
        return false;
    }
    logInfo(QStringLiteral("%1 is readable again; its content is kept in %2").arg(path, *copy));
    const QMutexLocker lock(&m_mutex);
    m_unreadableKeys.remove(key);
    return true;
}

bool DefaultsStore::setData(const QString &key, const QByteArray &bytes)
{
    if (!isValidKey(key))
        return false;
    QString reason;
    if (!mayReplace(key, &reason)) {
        logError(QStringLiteral("Cannot write %1: %2").arg(filePath(key), reason));
        notify({ StoreEvent::Kind::writeFailed, key, reason, filePath(key) });
        return false;
    }
    if (!writeFile(filePath(key), bytes, &reason)) {
        notify({ StoreEvent::Kind::writeFailed, key, reason, filePath(key) });
        return false;
    }
    notify({ StoreEvent::Kind::written, key, {}, filePath(key) });
    return true;
}

void DefaultsStore::setDataLater(const QString &key, std::function<std::optional<QByteArray>()> produce)
{
    quint64 number = 0;
    {
        const QMutexLocker lock(&m_mutex);
        number = ++m_latestQueued[key];
        ++m_queued[key];
    }
    m_writer->start([this, key, number, produce = std::move(produce)] {
        bool latest = false;
        {
            const QMutexLocker lock(&m_mutex);
            latest = m_latestQueued.value(key) == number;
        }
        if (latest) {
            if (const auto bytes = produce())
                setData(key, *bytes);
        }
        const QMutexLocker lock(&m_mutex);
        if (--m_queued[key] == 0)
            m_queued.remove(key);
    });
}

bool DefaultsStore::hasPendingWrites() const
{
    const QMutexLocker lock(&m_mutex);
    return !m_queued.isEmpty();
}

bool DefaultsStore::hasPendingWrites(const QString &key) const
{
    const QMutexLocker lock(&m_mutex);
    return m_queued.contains(key);
}

namespace {

// Posted to the application object, and context checked there, on the main thread: the writer
// thread must not touch an object the main thread may be deleting.
void runOnMainThread(const QPointer<QObject> &context, std::function<void()> done)
{
    if (auto *app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app,
            [context, done = std::move(done)] {
                if (context)
                    done();
            },
            Qt::QueuedConnection);
    }
}

} // namespace

void DefaultsStore::afterPendingWrites(QObject *context, std::function<void()> done)
{
    auto post = [context = QPointer<QObject>(context), done = std::move(done)] { runOnMainThread(context, done); };
    if (!hasPendingWrites())
        post();
    else
        m_writer->start(std::move(post));
}

void DefaultsStore::readLater(
    const QString &key, QObject *context, std::function<std::function<void()>(const StoredValue &)> work)
{
    m_writer->start([this, key, context = QPointer<QObject>(context), work = std::move(work)] {
        runOnMainThread(context, work(read(key)));
    });
}

void DefaultsStore::waitForPendingWrites()
{
    m_writer->waitForDone();
}

bool DefaultsStore::remove(const QString &key)
{
    return isValidKey(key) && QFile::remove(filePath(key));
}
