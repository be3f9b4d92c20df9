#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

struct Download {
    qint64 bytes = 0;
    double seconds = 0;
    // CPU time of the downloading thread, to show the client is not what limits the rate.
    double clientCpuSeconds = 0;
    QString error;
};

// One GET over a plain blocking socket, the body counted and dropped: no event loop and no
// copies, so the client costs next to nothing beside what it measures. The socket is made in the
// calling thread's network namespace.
Download download(const QHostAddress &address, quint16 port, const QByteArray &request, qint64 expected);

// Megabytes (10^6 bytes) a second.
inline double megabytesPerSecond(const Download &download)
{
    return download.seconds > 0 ? double(download.bytes) / 1e6 / download.seconds : 0;
}
