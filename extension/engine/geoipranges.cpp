#include "engine/geoipranges.h"

#include <QFile>
#include <QHostAddress>

#include <optional>

namespace geoip {

namespace {

    using u128 = unsigned __int128;

    // Blocks are aligned powers of two: at each step take the largest one that starts at `first`
    // and does not pass `last`.
    template <typename Int, int Bits, typename Format> QStringList blocks(Int first, Int last, Format format)
    {
        QStringList result;
        while (first <= last) {
            int size = 0; // log2 of the block length
            while (size < Bits) {
                const Int mask = size + 1 == Bits ? ~Int(0) : (Int(1) << (size + 1)) - 1;
                if ((first & mask) != 0 || (first | mask) > last)
                    break;
                ++size;
            }
            result.append(format(first) + u'/' + QString::number(Bits - size));
            const Int end = size == Bits ? ~Int(0) : (first | ((Int(1) << size) - 1));
            if (end == ~Int(0))
                break;
            first = end + 1;
        }
        return result;
    }

    QString formatIpv4(quint32 address)
    {
        return QHostAddress(address).toString();
    }

    QString formatIpv6(u128 address)
    {
        Q_IPV6ADDR bytes;
        for (int i = 15; i >= 0; --i) {
            bytes[i] = quint8(address & 0xff);
            address >>= 8;
        }
        return QHostAddress(bytes).toString();
    }

    std::optional<u128> parseIpv6(QStringView text)
    {
        QHostAddress address;
        if (!address.setAddress(text.toString()) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        u128 value = 0;
        for (int i = 0; i < 16; ++i)
            value = (value << 8) | bytes[i];
        return value;
    }

    // Calls `use` with the first two fields of each line of `path` whose third field is `code`.
    template <typename Use> void forEachRange(const QString &path, const QByteArray &code, Use use)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        const QByteArray suffix = ',' + code;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            if (line.startsWith('#') || !line.endsWith(suffix))
                continue;
            const qsizetype comma = line.indexOf(',');
            if (comma <= 0 || comma >= line.size() - suffix.size())
                continue;
            use(QString::fromLatin1(line.first(comma)),
                QString::fromLatin1(line.sliced(comma + 1, line.size() - suffix.size() - comma - 1)));
        }
    }

} // namespace

QString countryCodeForTld(const QString &tld)
{
    const QString code = (tld.startsWith(u'.') ? tld.mid(1) : tld).toUpper();
    return code == u"UK" ? QStringLiteral("GB") : code;
}

QStringList ipv4Blocks(quint32 first, quint32 last)
{
    return blocks<quint32, 32>(first, last, formatIpv4);
}

QStringList ipv6Blocks(u128 first, u128 last)
{
    return blocks<u128, 128>(first, last, formatIpv6);
}

QStringList rangesFor(const QString &countryCode, const QString &ipv4Path, const QString &ipv6Path)
{
    if (countryCode.size() != 2)
        return {};
    const QByteArray code = countryCode.toUpper().toLatin1();
    QStringList result;
    forEachRange(ipv4Path, code, [&](const QString &from, const QString &to) {
        bool firstOk = false;
        bool lastOk = false;
        const quint32 first = from.toUInt(&firstOk);
        const quint32 last = to.toUInt(&lastOk);
        if (firstOk && lastOk && first <= last)
            result.append(ipv4Blocks(first, last));
    });
    forEachRange(ipv6Path, code, [&](const QString &from, const QString &to) {
        const auto first = parseIpv6(from);
        const auto last = parseIpv6(to);
        if (first && last && *first <= *last)
            result.append(ipv6Blocks(*first, *last));
    });
    return result;
}

} // namespace geoip
