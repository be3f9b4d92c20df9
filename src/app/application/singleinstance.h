#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <chrono>

// The program runs once per user. The first start holds a lock and listens on a user-only local
// socket; a later start, from the launcher or the command line, asks it to show its main window
// and exits at once.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    enum class Role {
        // This process is the program; showRequested() tells of later starts.
        primary,
        // Another process is the program; ask it to show its window and exit.
        secondary,
        // The lock could not be taken (no runtime directory, say): run, but alone in the dark.
        unguarded,
    };

    // directory holds the lock and the socket; it is made user-only when missing.
    explicit SingleInstance(QString directory, QObject *parent = nullptr);
    ~SingleInstance() override;
    Q_DISABLE_COPY_MOVE(SingleInstance)

    // The program's runtime directory (appRuntimeDirectory()).
    static QString defaultDirectory();

    Role start();
    // As a secondary: true once the program has taken the request. It may still be starting,
    // so this keeps trying until the time-out.
    bool askPrimaryToShow(std::chrono::milliseconds timeout) const;

    QString socketPath() const;

Q_SIGNALS:
    void showRequested();

private:
    void serve();

    QString m_directory;
    int m_lockFd = -1;
    QLocalServer m_server;
};
