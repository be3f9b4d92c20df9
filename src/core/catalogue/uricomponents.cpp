#include "core/catalogue/uricomponents.h"

#include <uriparser/Uri.h>

#include <limits>

namespace {

using Part = UriComponents::Part;

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// RFC 3986: fragment = *( pchar / "/" / "?" ), escapes aside.
bool allowedInFragment(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '-':
    case '.':
    case '_':
    case '~': // unreserved
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '/':
    case '?':
        return true;
    default:
        return false;
    }
}

// A line break or other control character is no part of a name: in a subscription whose lines end
// in a lone carriage return it would make one name of the rest of the text.
bool isControl(char c)
{
    return uchar(c) < 0x20 || uchar(c) == 0x7F;
}

// Keeps escapes the user wrote; a "%" that starts none is itself escaped. False when the fragment
// holds a control character.
bool appendEncodedFragment(QByteArray &out, QStringView fragment)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = fragment.toUtf8();
    const qsizetype size = utf8.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = utf8[i];
        if (isControl(c))
            return false;
        const bool escape = c == '%' && i + 2 < size && isHexDigit(utf8[i + 1]) && isHexDigit(utf8[i + 2]);
        if (escape || allowedInFragment(c)) {
            out += c;
        } else {
            const auto byte = uchar(c);
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return true;
}

std::optional<QByteArray> bytesOf(const UriTextRangeA &range)
{
    if (!range.first)
        return std::nullopt;
    return QByteArray(range.first, range.afterLast - range.first);
}

// The parser only lets digits through; the value has to fit anyway.
std::optional<qint64> portValue(const QByteArray &digits, bool &overflow)
{
    overflow = false;
    if (digits.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const char c : digits) {
        const int digit = c - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10) {
            overflow = true;
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

// Parts never hold a NUL byte as written (the parser rejects it), so the C-string based decoder
// sees all of them; a decoded "%00" is counted by the returned end, not by a terminator.
std::optional<QString> percentDecoded(QByteArray text)
{
    char *begin = text.data();
    const char *end = uriUnescapeInPlaceExA(begin, URI_FALSE, URI_BR_DONT_TOUCH);
    const QByteArrayView bytes(begin, end - begin);
    if (!bytes.isValidUtf8())
        return std::nullopt;
    return QString::fromUtf8(bytes);
}

qsizetype findAny(const QByteArray &text, qsizetype from, const char *stops)
{
    for (qsizetype i = from; i < text.size(); ++i) {
        for (const char *s = stops; *s; ++s) {
            if (text[i] == *s)
                return i;
        }
    }
    return text.size();
}

} // namespace

std::optional<UriComponents> UriComponents::parse(QStringView text)
{
    const qsizetype hash = text.indexOf(u'#');
    const QStringView beforeFragment = hash < 0 ? text : text.first(hash);
    // Latin-1 conversion would turn other characters into "?", which a URI may hold: check first.
    for (const QChar c : beforeFragment) {
        if (c.unicode() >= 0x80)
            return std::nullopt;
    }
    QByteArray encoded = beforeFragment.toLatin1();
    if (hash >= 0) {
        encoded += '#';
        if (!appendEncodedFragment(encoded, text.sliced(hash + 1)))
            return std::nullopt;
    }

    UriUriA uri {};
    const char *errorPosition = nullptr;
    const char *first = encoded.constData();
    if (uriParseSingleUriExA(&uri, first, first + encoded.size(), &errorPosition) != URI_SUCCESS)
        return std::nullopt;

    UriComponents result;
    auto &parts = result.m_parts;
    parts[size_t(Part::scheme)] = bytesOf(uri.scheme);
    if (const auto userInfo = bytesOf(uri.userInfo)) {
        const qsizetype colon = userInfo->indexOf(':');
        parts[size_t(Part::user)] = colon < 0 ? *userInfo : userInfo->first(colon);
        if (colon >= 0)
            parts[size_t(Part::password)] = userInfo->sliced(colon + 1);
    }
    parts[size_t(Part::host)] = bytesOf(uri.hostText);
    parts[size_t(Part::port)] = bytesOf(uri.portText);
    parts[size_t(Part::query)] = bytesOf(uri.query);
    parts[size_t(Part::fragment)] = bytesOf(uri.fragment);

    // The path lies between the authority (or the scheme) and the query or fragment; its segments
    // are spread over a list, so it is read off the text, which the parser has validated.
    qsizetype pathStart = uri.scheme.first ? uri.scheme.afterLast - first + 1 : 0;
    if (QByteArrayView(encoded).sliced(pathStart).startsWith("//"))
        pathStart = findAny(encoded, pathStart + 2, "/?#");
    const qsizetype pathEnd = findAny(encoded, pathStart, "?#");
    parts[size_t(Part::path)] = encoded.sliced(pathStart, pathEnd - pathStart);
    uriFreeUriMembersA(&uri);

    bool overflow = false;
    if (const auto &port = parts[size_t(Part::port)])
        result.m_port = portValue(*port, overflow);
    if (overflow)
        return std::nullopt;
    if (hash >= 0)
        result.m_fragmentAsWritten = text.sliced(hash + 1).toString();
    return result;
}

std::optional<QString> UriComponents::raw(Part part) const
{
    if (part == Part::fragment && m_parts[size_t(part)])
        return m_fragmentAsWritten;
    if (const auto &bytes = m_parts[size_t(part)])
        return QString::fromLatin1(*bytes);
    return std::nullopt;
}

std::optional<QString> UriComponents::decoded(Part part) const
{
    if (const auto &bytes = m_parts[size_t(part)])
        return percentDecoded(*bytes);
    return std::nullopt;
}

QList<UriComponents::QueryItem> UriComponents::queryItems() const
{
    QList<QueryItem> items;
    const auto &query = m_parts[size_t(Part::query)];
    if (!query || query->isEmpty())
        return items;
    qsizetype start = 0;
    while (start <= query->size()) {
        qsizetype end = query->indexOf('&', start);
        if (end < 0)
            end = query->size();
        const QByteArray item = query->sliced(start, end - start);
        const qsizetype equals = item.indexOf('=');
        if (auto name = percentDecoded(equals < 0 ? item : item.first(equals))) {
            std::optional<QString> value;
            if (equals >= 0)
                value = percentDecoded(item.sliced(equals + 1));
            items.append({ std::move(*name), std::move(value) });
        }
        start = end + 1;
    }
    return items;
}
