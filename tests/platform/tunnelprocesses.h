#pragma once

#include <QFile>
#include <QLocalSocket>

#include <sys/socket.h>

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
