#pragma once

#include <QLocalSocket>
#include <QString>

// One command to a running program's UI driver (WRENLOW_UI_DRIVER) and its answer line; empty while
// the driver does not answer.
inline QString askUiDriver(const QString &socketPath, const QString &command)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(command.toUtf8() + '\n');
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(10000))
            return {};
    }
    return QString::fromUtf8(socket.readLine()).trimmed();
}
