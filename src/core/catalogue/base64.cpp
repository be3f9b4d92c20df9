#include "core/catalogue/base64.h"

#include <array>
#include <type_traits>

namespace base64 {
namespace {

    constexpr qint8 notInAlphabet = -1;
    using Table = std::array<qint8, 128>;

    constexpr Table makeTable(bool withUrlSafe)
    {
        Table table {};
        for (auto &value : table)
            value = notInAlphabet;
        constexpr char standard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            table[size_t(standard[i])] = qint8(i);
        if (withUrlSafe) {
            table[size_t('-')] = 62;
            table[size_t('_')] = 63;
        }
        return table;
    }

    constexpr Table standardTable = makeTable(false);
    constexpr Table lenientTable = makeTable(true);

    enum class Padding {
        required, // the text must already be padded
        implied, // missing "=" up to the next multiple of 4 count as present
        optional, // padding may be left off
    };

    template <typename Char> inline int sextet(const Table &table, Char c)
    {
        const auto code = static_cast<std::make_unsigned_t<Char>>(c);
        return code < 128 ? table[code] : notInAlphabet;
    }

    template <typename Char>
    std::optional<QByteArray> decode(const Char *text, qsizetype size, const Table &table, Padding padding)
    {
        qsizetype dataSize = size;
        while (dataSize > 0 && text[dataSize - 1] == Char('='))
            --dataSize;
        const qsizetype written = size - dataSize;
        qsizetype padCount = written;
        if (padding == Padding::implied)
            padCount += (4 - size % 4) % 4;
        if (padCount > 2)
            return std::nullopt;
        // Written or implied, the pad characters must complete the last group exactly.
        if ((padding != Padding::optional || written > 0) && (dataSize + padCount) % 4 != 0)
            return std::nullopt;
        // One character alone carries only six bits: never a byte.
        if (dataSize % 4 == 1)
            return std::nullopt;

        const qsizetype fullGroups = dataSize / 4;
        const qsizetype tail = dataSize % 4;
        QByteArray bytes(fullGroups * 3 + (tail == 0 ? 0 : tail - 1), Qt::Uninitialized);
        char *out = bytes.data();
        const Char *in = text;
        for (qsizetype g = 0; g < fullGroups; ++g, in += 4, out += 3) {
            const int a = sextet(table, in[0]);
            const int b = sextet(table, in[1]);
            const int c = sextet(table, in[2]);
            const int d = sextet(table, in[3]);
            // Any character outside the alphabet (including "=" inside the text) is negative.
            if ((a | b | c | d) < 0)
                return std::nullopt;
            const quint32 group = quint32(a) << 18 | quint32(b) << 12 | quint32(c) << 6 | quint32(d);
            out[0] = char(group >> 16);
            out[1] = char(group >> 8);
            out[2] = char(group);
        }
        if (tail > 0) {
            quint32 group = 0;
            for (qsizetype i = 0; i < tail; ++i) {
                const int value = sextet(table, in[i]);
                if (value < 0)
                    return std::nullopt;
                group |= quint32(value) << (18 - 6 * i);
            }
            out[0] = char(group >> 16);
            if (tail == 3)
                out[1] = char(group >> 8);
        }
        return bytes;
    }

} // namespace

QString padded(QStringView text)
{
    QString result;
    const qsizetype missing = (4 - text.size() % 4) % 4;
    result.reserve(text.size() + missing);
    result.append(text);
    result.append(QString(missing, u'='));
    return result;
}

std::optional<QByteArray> decodeStrict(QStringView text)
{
    return decode(text.utf16(), text.size(), standardTable, Padding::required);
}

std::optional<QByteArray> decodeStrictPadded(QStringView text)
{
    return decode(text.utf16(), text.size(), standardTable, Padding::implied);
}

std::optional<QByteArray> decodeLenient(QStringView text)
{
    return decode(text.utf16(), text.size(), lenientTable, Padding::optional);
}

} // namespace base64
