#include "core/foundation/bytecount.h"

#include <QCoreApplication>

#include <array>
#include <cmath>

QString formatByteCount(qint64 bytes)
{
    if (bytes < 0)
        return {};
    static const std::array<const char *, 5> units = { QT_TRANSLATE_NOOP("ByteCount", "B"),
        QT_TRANSLATE_NOOP("ByteCount", "KB"), QT_TRANSLATE_NOOP("ByteCount", "MB"),
        QT_TRANSLATE_NOOP("ByteCount", "GB"), QT_TRANSLATE_NOOP("ByteCount", "TB") };
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
