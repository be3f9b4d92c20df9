#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <array>
#include <optional>

// A URI reference split in the manner of RFC 3986, every part available as written and
// percent-decoded. Unlike QUrl it keeps hosts exactly as written: the legacy ss:// form carries
// case-sensitive base64, "=" included, where the host stands.
class UriComponents {
public:
    enum class Part { scheme, user, password, host, port, path, query, fragment };

    struct QueryItem {
        QString name;
        // Absent when the item has no "=", or its value is not UTF-8 once decoded.
        std::optional<QString> value;
    };

    // nullopt when the text is not a URI reference. Printable characters a URI cannot hold are
    // percent-encoded when they stand in the fragment, since server names are written with spaces,
    // emoji and even "#"; anywhere else they make the text invalid. So do control characters (C0
    // and DEL) anywhere, and a port beyond 64 bits.
    static std::optional<UriComponents> parse(QStringView text);

    // The part as written, nullopt when the URI lacks it. The fragment is the text after the first
    // "#" exactly as given, before any encoding. The host of an IPv6 literal comes without brackets.
    // The user is the user info up to its first ":", the password what follows that ":".
    std::optional<QString> raw(Part part) const;
    // Percent escapes decoded ("+" stays "+"); nullopt when the part is absent or the decoded bytes
    // are not UTF-8.
    std::optional<QString> decoded(Part part) const;

    // nullopt when the URI has no port or an empty one ("host:").
    std::optional<qint64> port() const { return m_port; }

    // The query split at "&" and at the first "=" of each item, names and values decoded, in order.
    // Items whose name is not UTF-8 once decoded are left out.
    QList<QueryItem> queryItems() const;

private:
    UriComponents() = default;

    // Each part in its percent-encoded, ASCII form as handed to the URI parser.
    std::array<std::optional<QByteArray>, 8> m_parts;
    QString m_fragmentAsWritten;
    std::optional<qint64> m_port;
};
