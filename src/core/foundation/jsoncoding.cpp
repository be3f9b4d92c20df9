#include "core/foundation/jsoncoding.h"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace json {
namespace {

    // 2001-01-01 00:00:00 UTC in milliseconds since the Unix epoch.
    constexpr qint64 referenceDateMs = 978307200000;

    QString keyText(std::string_view key)
    {
        return QString::fromUtf8(key.data(), qsizetype(key.size()));
    }

    [[noreturn]] void mismatch(const char *expected, const Json &value)
    {
        throw DecodingError(DecodingError::Kind::typeMismatch,
            QStringLiteral("Expected %1 but found %2.")
                .arg(QString::fromLatin1(expected), QString::fromLatin1(value.type_name())));
    }

    bool isHexDigit(char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    // Two inputs the parser mishandles, rejected before it sees them: it keeps object members in a
    // vector and copies them recursively when that grows, so nesting thousands of levels deep
    // exhausts the stack; and it takes a NUL byte for the end of the text, accepting whatever
    // precedes it. A raw NUL is never valid JSON.
    std::optional<QString> unsafeForParser(const QByteArray &bytes, int maximumNesting)
    {
        int depth = 0;
        bool inString = false;
        bool escaped = false;
        for (const char c : bytes) {
            if (c == '\0')
                return QStringLiteral("NUL byte");
            if (inString) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == '[' || c == '{') {
                if (++depth > maximumNesting)
                    return QStringLiteral("nested too deeply");
            } else if ((c == ']' || c == '}') && depth > 0) {
                --depth;
            }
        }
        return std::nullopt;
    }

    // Builds the document from the parser's events. The parser's own builder inserts each member into
    // a vector whose key is const, so every growth copies the members' values, nested ones included:
    // a 5 MB catalogue took twice as long to read. Here members are gathered with movable keys and
    // put in place once their object ends.
    class DocumentBuilder {
    public:
        using Number = Json::number_integer_t;
        using Unsigned = Json::number_unsigned_t;
        using Float = Json::number_float_t;

        Json &document() { return m_document; }
        std::optional<std::pair<std::size_t, int>> failure() const { return m_failure; }

        bool null() { return add(Json()); }
        bool boolean(bool value) { return add(Json(value)); }
        bool number_integer(Number value) { return add(Json(value)); }
        bool number_unsigned(Unsigned value) { return add(Json(value)); }
        bool number_float(Float value, const std::string &) { return add(Json(value)); }
        bool string(std::string &value) { return add(Json(std::move(value))); }
        bool binary(Json::binary_t &value) { return add(Json::binary(std::move(value))); }

        bool start_object(std::size_t)
        {
            m_levels.push_back(Level { true, {}, {}, {} });
            return true;
        }
        bool key(std::string &key)
        {
            m_levels.back().key = std::move(key);
            return true;
        }
        bool end_object()
        {
            Level level = std::move(m_levels.back());
            m_levels.pop_back();
            Json object = Json::object();
            auto &members = object.get_ref<Json::object_t &>();
            members.reserve(level.members.size());
            for (auto &[key, value] : level.members)
                members.emplace_back(std::move(key), std::move(value));
            return add(std::move(object));
        }
        bool start_array(std::size_t)
        {
            m_levels.push_back(Level { false, {}, {}, {} });
            return true;
        }
        bool end_array()
        {
            Level level = std::move(m_levels.back());
            m_levels.pop_back();
            return add(Json(std::move(level.items)));
        }

        bool parse_error(std::size_t position, const std::string &, const nlohmann::detail::exception &error)
        {
            m_failure = std::make_pair(position, error.id);
            return false;
        }

    private:
        struct Level {
            bool isObject;
            std::vector<std::pair<std::string, Json>> members;
            Json::array_t items;
            std::string key;
        };

        bool add(Json value)
        {
            if (m_levels.empty()) {
                m_document = std::move(value);
                return true;
            }
            Level &level = m_levels.back();
            if (!level.isObject) {
                level.items.push_back(std::move(value));
                return true;
            }
            // A repeated key keeps its first place and takes the last value.
            for (auto &member : level.members) {
                if (member.first == level.key) {
                    member.second = std::move(value);
                    return true;
                }
            }
            level.members.emplace_back(std::move(level.key), std::move(value));
            return true;
        }

        std::vector<Level> m_levels;
        Json m_document;
        std::optional<std::pair<std::size_t, int>> m_failure;
    };

} // namespace

Json parse(const QByteArray &bytes, int maximumNesting)
{
    if (const auto problem = unsafeForParser(bytes, maximumNesting))
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, QStringLiteral("The data is not valid JSON: %1").arg(*problem));
    // The parser's own messages quote the text around the fault, which can be a secret such as a
    // vmess:// user id, and these messages reach the log: only the place is kept.
    DocumentBuilder builder;
    try {
        if (Json::sax_parse(bytes.cbegin(), bytes.cend(), &builder))
            return std::move(builder.document());
    } catch (const Json::exception &e) {
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, QStringLiteral("The data is not valid JSON: error %1").arg(e.id));
    }
    const auto [position, id] = builder.failure().value_or(std::make_pair(std::size_t(0), 0));
    // Ids 101 to 199 are the parser's syntax errors; others, such as 406, a number out of range.
    if (id > 100 && id < 200) {
        throw DecodingError(DecodingError::Kind::dataCorrupted,
            QStringLiteral("The data is not valid JSON: syntax error at byte %1").arg(position));
    }
    throw DecodingError(
        DecodingError::Kind::dataCorrupted, QStringLiteral("The data is not valid JSON: error %1").arg(id));
}

QByteArray serialize(const Json &document)
{
    try {
        const std::string text = document.dump();
        return QByteArray(text.data(), qsizetype(text.size()));
    } catch (const Json::exception &e) {
        throw DecodingError(DecodingError::Kind::dataCorrupted,
            QStringLiteral("The value cannot be written as JSON: %1").arg(QString::fromUtf8(e.what())));
    }
}

const Json &object(const Json &value)
{
    if (!value.is_object())
        mismatch("an object", value);
    return value;
}

const Json &array(const Json &value)
{
    if (!value.is_array())
        mismatch("an array", value);
    return value;
}

const Json &member(const Json &o, std::string_view key)
{
    const auto it = object(o).find(key);
    if (it == o.end())
        throw DecodingError(
            DecodingError::Kind::keyNotFound, QStringLiteral("No value for key \"%1\".").arg(keyText(key)));
    return *it;
}

const Json *optionalMember(const Json &o, std::string_view key)
{
    const auto it = object(o).find(key);
    if (it == o.end() || it->is_null())
        return nullptr;
    return &*it;
}

QString toString(const Json &value)
{
    if (!value.is_string())
        mismatch("a string", value);
    const auto &text = value.get_ref<const std::string &>();
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

bool toBool(const Json &value)
{
    if (!value.is_boolean())
        mismatch("a boolean", value);
    return value.get<bool>();
}

qint64 toInt64(const Json &value)
{
    // Other writers put whole numbers as 443.0 or 4.43e2; a fraction is still no integer.
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::trunc(number) != number)
            mismatch("an integer", value);
        // Beyond 2^53 a double no longer holds every whole number: the one written may be lost.
        constexpr double exactLimit = 9007199254740992.0;
        if (number <= -exactLimit || number >= exactLimit)
            throw DecodingError(
                DecodingError::Kind::dataCorrupted, QStringLiteral("The number does not fit a 64-bit integer."));
        return qint64(number);
    }
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n <= std::uint64_t(std::numeric_limits<qint64>::max()))
            return qint64(n);
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, QStringLiteral("The number does not fit a 64-bit integer."));
    }
    mismatch("an integer", value);
}

double toDouble(const Json &value)
{
    if (!value.is_number())
        mismatch("a number", value);
    return value.get<double>();
}

QUuid toUuid(const Json &value)
{
    const auto &text = toString(value);
    // 8-4-4-4-12 hex digits, either case; QUuid alone would also take braces.
    bool wellFormed = text.size() == 36;
    for (qsizetype i = 0; wellFormed && i < text.size(); ++i) {
        const QChar c = text.at(i);
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        wellFormed = hyphenPlace ? c == u'-' : (c.unicode() < 128 && isHexDigit(char(c.unicode())));
    }
    if (!wellFormed)
        throw DecodingError(DecodingError::Kind::dataCorrupted, QStringLiteral("Invalid UUID string: %1").arg(text));
    return QUuid::fromString(text);
}

QDateTime toDate(const Json &value)
{
    const double seconds = toDouble(value);
    // QDateTime spans far more than this; the bound keeps the millisecond arithmetic exact.
    if (!std::isfinite(seconds) || std::abs(seconds) > 1e13)
        throw DecodingError(DecodingError::Kind::dataCorrupted, QStringLiteral("The date is out of range."));
    return QDateTime::fromMSecsSinceEpoch(referenceDateMs + qint64(std::llround(seconds * 1000.0)), Qt::UTC);
}

Json fromString(const QString &text)
{
    return text.toStdString();
}

Json fromUuid(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

Json fromDate(const QDateTime &date)
{
    return double(date.toMSecsSinceEpoch() - referenceDateMs) / 1000.0;
}

std::string_view oneKey(const Json &value, std::initializer_list<std::string_view> cases)
{
    object(value);
    std::string_view found;
    int count = 0;
    for (const auto name : cases) {
        if (value.contains(name)) {
            found = name;
            ++count;
        }
    }
    if (count != 1)
        throw DecodingError(DecodingError::Kind::typeMismatch, QString::fromLatin1(oneKeyMessage));
    return found;
}

Json emptyCase(std::string_view name)
{
    Json result = Json::object();
    result[std::string(name)] = Json::object();
    return result;
}

} // namespace json
