#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>

// Starts the interception helper with the user's permission (pkexec and its polkit action) and
// keeps it for as long as interception is wanted: the helper removes everything when its input
// closes, and so when this object, or the whole tunnel, goes.
class InterceptionLauncher final : public QObject {
    Q_OBJECT

public:
    InterceptionLauncher(QString launcher, QString helper, QObject *parent = nullptr);
    ~InterceptionLauncher() override;
    Q_DISABLE_COPY_MOVE(InterceptionLauncher)

    // Asks for permission and starts the helper; ready() or failed() follows.
    void start(quint16 port, const QList<QHostAddress> &servers);
    // Ends interception: the helper removes the table and the routing, then exits.
    void stop();
    bool isRunning() const { return m_ready; }

Q_SIGNALS:
    void ready();
    // Before ready(): why interception could not start, for the user.
    void failed(const QString &description);
    // After ready(): the helper ended without being asked to.
    void ended(const QString &description);

private:
    void readOutput();
    void finished(int exitCode, QProcess::ExitStatus status);
    void fail(const QString &what);

    QString m_launcher;
    QString m_helper;
    QProcess *m_process = nullptr;
    QByteArray m_output;
    bool m_ready = false;
    bool m_stopping = false;
};
