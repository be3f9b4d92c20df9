#include "service/memoryusage.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <unistd.h>

qint64 residentSetSize(qint64 pid)
{
    QFile statm(pid > 0 ? QStringLiteral("/proc/%1/statm").arg(pid) : QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    // "size resident shared text lib data dt", all in pages.
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2)
        return 0;
    bool ok = false;
    const qint64 pages = fields.at(1).toLongLong(&ok);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (!ok || pages < 0 || pageSize <= 0)
        return 0;
    return pages * qint64(pageSize);
}
