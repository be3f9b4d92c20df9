#pragma once

#include <QDir>
#include <QFile>
#include <QList>
#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

// Finding and watching the tunnel processes a test started, so none outlives it.

// The pid of the tunnel listening on the socket, or 0 when none answers.
inline qint64 tunnelPidAt(const QString &socketPath)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(1000))
        return 0;
    ucred credentials {};
    socklen_t size = sizeof credentials;
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0
        ? credentials.pid
        : 0;
}

// Whether the process still runs; a zombie that nobody reaps counts as gone.
inline bool processRuns(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end > 0 && line.mid(end + 2, 1) != "Z";
}

// The processes a process started that still run.
inline QList<qint64> childProcesses(qint64 pid)
{
    QList<qint64> children;
    // Each thread lists the children it forked.
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/children")));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &child : file.readAll().simplified().split(' ')) {
            if (const qint64 id = child.toLongLong(); id > 0)
                children.append(id);
        }
    }
    return children;
}

// User plus system CPU time a process has used so far, in seconds; -1 when it cannot be read.
inline double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    // After the name: state is field 3, utime 14 and stime 15.
    const QList<QByteArray> fields = line.mid(end + 2).split(' ');
    if (end < 0 || fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}
