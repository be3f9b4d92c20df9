#pragma once

#include "core/foundation/error.h"

#include <nlohmann/json.hpp>

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUuid>

#include <initializer_list>
#include <string_view>

// Stored and wire JSON keeps keys in the order they are written.
using Json = nlohmann::ordered_json;

// A document that does not have the shape its reader expects.
class DecodingError final : public Error {
public:
    enum class Kind { keyNotFound, typeMismatch, dataCorrupted };

    DecodingError(Kind kind, QString message)
        : m_kind(kind)
        , m_message(std::move(message))
    {
    }

    Kind kind() const { return m_kind; }
    QString description() const override { return m_message; }

private:
    Kind m_kind;
    QString m_message;
};

// Strict readers: the JSON type must be exactly the one asked for, or they throw DecodingError.
namespace json {

inline constexpr auto oneKeyMessage = "Invalid number of keys found, expected one.";

// Far deeper than any document of ours.
inline constexpr int defaultMaximumNesting = 512;

// Parses bytes into a document; syntax errors, invalid UTF-8, out-of-range numbers and arrays or
// objects nested deeper than maximumNesting throw DecodingError. Messages give a fault's place,
// never the text there.
Json parse(const QByteArray &bytes, int maximumNesting = defaultMaximumNesting);
// Serialises compactly; throws DecodingError when a text is not valid UTF-8.
QByteArray serialize(const Json &document);

const Json &object(const Json &value);
const Json &array(const Json &value);
// The member `key` of an object; throws keyNotFound when absent.
const Json &member(const Json &object, std::string_view key);
// The member `key`, or nullptr when it is absent or JSON null.
const Json *optionalMember(const Json &object, std::string_view key);

QString toString(const Json &value);
bool toBool(const Json &value);
// Integers, and numbers with a whole value however written (443.0, 4.43e2).
qint64 toInt64(const Json &value);
double toDouble(const Json &value);
QUuid toUuid(const Json &value);
QDateTime toDate(const Json &value);

inline QString stringAt(const Json &o, std::string_view key)
{
    return toString(member(o, key));
}
inline bool boolAt(const Json &o, std::string_view key)
{
    return toBool(member(o, key));
}
inline qint64 int64At(const Json &o, std::string_view key)
{
    return toInt64(member(o, key));
}

Json fromString(const QString &text);
// UUIDs are written as 36 upper-case characters with hyphens.
Json fromUuid(const QUuid &id);
// Dates are seconds since 2001-01-01 00:00:00 UTC, with fraction.
Json fromDate(const QDateTime &date);

// Enumerations are objects with exactly one recognised case name; others are ignored.
// Returns the case name found and leaves its value to the caller.
std::string_view oneKey(const Json &value, std::initializer_list<std::string_view> cases);
// An enumeration case without payload: {"name": {}}.
Json emptyCase(std::string_view name);

} // namespace json
