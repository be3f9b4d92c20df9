#pragma once

#include <QObject>
#include <QSet>
#include <QString>

class DefaultsStore;
struct StoreEvent;

// Tells the user when the catalogue or the settings could not be stored or read back: once per
// streak of failed saves of a document (a successful save ends the streak) and once per unreadable
// document. The interface presents problemFound; nothing here is shown by itself.
class StorageProblems final : public QObject {
    Q_OBJECT

public:
    // Listens to the store until destroyed. Problems found on any thread arrive on this object's
    // thread through its event loop, so a receiver connected right after construction misses none.
    explicit StorageProblems(DefaultsStore &store, QObject *parent = nullptr);
    ~StorageProblems() override;
    Q_DISABLE_COPY_MOVE(StorageProblems)

    // The messages reported so far, oldest first, for an interface that appears later.
    const QStringList &reported() const { return m_reported; }

Q_SIGNALS:
    void problemFound(const QString &title, const QString &message);

private:
    void handle(const StoreEvent &event);
    void report(const QString &title, const QString &message);

    DefaultsStore &m_store;
    QSet<QString> m_failingKeys;
    QSet<QString> m_unreadableKeys;
    QStringList m_reported;
};
