#include "app/application/storageproblems.h"

#include "core/foundation/defaultsstore.h"

#include <QCoreApplication>
#include <QPointer>

namespace {

// What the user calls the document stored under a key, and what the program does without it;
// other keys report their own failures.
struct Document {
    QString name;
    QString fallback;
};

Document documentOf(const QString &key)
{
    if (key == u"groups")
        return { QStringLiteral("servers"), QStringLiteral("started without them") };
    if (key == u"settings")
        return { QStringLiteral("settings"), QStringLiteral("started with the default settings") };
    return {};
}

} // namespace

StorageProblems::StorageProblems(DefaultsStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
{
    // The store's writer thread may call this. The event is posted to the application object and
    // this object checked there, on the main thread, where it can be deleted.
    m_store.setObserver([self = QPointer<StorageProblems>(this)](const StoreEvent &event) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, event] {
                if (self)
                    self->handle(event);
            },
            Qt::QueuedConnection);
    });
}

StorageProblems::~StorageProblems()
{
    m_store.setObserver({});
}

void StorageProblems::handle(const StoreEvent &event)
{
    const auto [name, fallback] = documentOf(event.key);
    if (name.isEmpty())
        return;
    switch (event.kind) {
    case StoreEvent::Kind::written:
        m_failingKeys.remove(event.key);
        return;
    case StoreEvent::Kind::writeFailed:
        if (m_failingKeys.contains(event.key))
            return;
        m_failingKeys.insert(event.key);
        report(QStringLiteral("Your %1 could not be saved").arg(name),
            QStringLiteral("Wrenlow could not save your %1: %2. Your changes are kept while Wrenlow runs and saving "
                           "will be tried again.")
                .arg(name, event.reason));
        return;
    case StoreEvent::Kind::unreadable:
        if (m_unreadableKeys.contains(event.key))
            return;
        m_unreadableKeys.insert(event.key);
        report(QStringLiteral("Your stored %1 could not be read").arg(name),
            QStringLiteral("Wrenlow could not read your stored %1 in %2: %3. Wrenlow %4 and will not overwrite "
                           "that file while it cannot be read.")
                .arg(name, event.path, event.reason, fallback));
        return;
    case StoreEvent::Kind::preserved:
        if (m_unreadableKeys.contains(event.key))
            return;
        m_unreadableKeys.insert(event.key);
        report(QStringLiteral("Your stored %1 could not be read").arg(name),
            QStringLiteral("Wrenlow could not read your stored %1, so it %2. A copy of the stored file is kept "
                           "in %3.")
                .arg(name, fallback, event.path));
        return;
    }
}

void StorageProblems::report(const QString &title, const QString &message)
{
    m_reported.append(message);
    Q_EMIT problemFound(title, message);
}
