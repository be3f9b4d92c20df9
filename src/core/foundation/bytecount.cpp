#include "core/foundation/bytecount.h"

#include <QCoreApplication>

#include <array>
#include <cmath>

QString formatByteCount(qint64 bytes)
{
    if (bytes < 0)
        return {};
    static const std::array<const char *, 5> units = { "B", "KB", "MB", "GB", "TB" };
    // Integer steps rather than logarithms: ln(1024^k) / ln(1024) lands just below k for some k.
    int exponent = 0;
    qint64 scale = 1;
    while (exponent < int(units.size()) && bytes / scale >= 1024) {
        scale *= 1024;
        ++exponent;
    }
    if (exponent >= int(units.size()))
        return {};
    return QString::number(bytes / scale) + QLatin1Char(' ')
        + QCoreApplication::translate("ByteCount", units[size_t(exponent)]);
}
