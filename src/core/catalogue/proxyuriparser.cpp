#include "core/catalogue/proxyuriparser.h"

#include "core/catalogue/base64.h"
#include "core/catalogue/uricomponents.h"
#include "core/foundation/decimal.h"
#include "core/foundation/jsoncoding.h"
#include "core/foundation/log.h"

namespace {

using Part = UriComponents::Part;
using ErrorKind = ProxyURIParseError::Kind;

[[noreturn]] void fail(ErrorKind kind)
{
    throw ProxyURIParseError(kind);
}

ServerPtr makeServer(const QString &name, ServerSettings settings)
{
    return std::make_shared<Server>(name, std::move(settings), true);
}

std::optional<QString> utf8Text(const QByteArray &bytes)
{
    if (!bytes.isValidUtf8())
        return std::nullopt;
    return QString::fromUtf8(bytes);
}

// A share link is a few hundred characters, a long one a few thousand. The bound keeps a hostile
// line from costing the URI parser seconds and hundreds of megabytes.
constexpr qsizetype maximumUriLength = 64 * 1024;

// A vmess:// record is one flat object; this leaves room for a nested value or two.
constexpr int maximumVMessNesting = 3;

// 0 is left to each form's own rule.
bool isPortInRange(qint64 port)
{
    return port >= 0 && port <= 65535;
}

[[noreturn]] void failUnsupported(const QString &what)
{
    throw ProxyURIParseError(ErrorKind::shadowsockError, what);
}

// The engine speaks only the AEAD ciphers and runs no plugin: such a server would import and
// then never connect.
ServerPtr makeShadowsocks(const UriComponents &uri, const QString &name, const QString &address, qint64 port,
    const QString &method, const QString &password)
{
    const auto cipher = cipherFromName(method);
    if (!cipher)
        failUnsupported(QStringLiteral("The cipher %1 is not supported").arg(method));
    for (const auto &item : uri.queryItems()) {
        if (item.name == u"plugin" && item.value && !item.value->isEmpty()) {
            // "obfs-local;obfs=http;obfs-host=...": the plugin, then its options.
            const QString plugin = item.value->section(u';', 0, 0);
            failUnsupported(
                QStringLiteral("The plugin %1 is not supported").arg(plugin.isEmpty() ? *item.value : plugin));
        }
    }
    return makeServer(name.isEmpty() ? address : name, ShadowsockSettings { address, port, *cipher, password });
}

struct LegacyFields {
    QString method;
    QString password;
    QString address;
    qint64 port = 0;
};

const QString invalidComponentsCount = QStringLiteral("Shadowsocks: Invalid components count");
const QString invalidPortNumber = QStringLiteral("Shadowsocks: Invalid port number");
const QString cannotExtractPassword = QStringLiteral("Shadowsocks: Cannot extract password and IP address");

// method:password@host:port split at every ":" and "@"; on failure, `failure` says why.
std::optional<LegacyFields> splitLegacy(QStringView decoded, QString &failure)
{
    const auto pieces = decoded.split(u':', Qt::SkipEmptyParts);
    if (pieces.size() != 3) {
        failure = invalidComponentsCount;
        return std::nullopt;
    }
    const auto passwordAndHost = pieces[1].split(u'@', Qt::SkipEmptyParts);
    const auto port = parseDecimal(pieces[2]);
    if (!port || *port == 0 || !isPortInRange(*port)) {
        failure = invalidPortNumber;
        return std::nullopt;
    }
    const QStringView address = passwordAndHost.size() == 2 ? passwordAndHost[1].trimmed() : QStringView();
    if (address.isEmpty()) {
        failure = cannotExtractPassword;
        return std::nullopt;
    }
    return LegacyFields { pieces[0].toString(), passwordAndHost[0].toString(), address.toString(), *port };
}

bool isIPv6Literal(QStringView text)
{
    if (!text.contains(u':'))
        return false;
    for (const QChar c : text) {
        const bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!hex && c != u':' && c != u'.')
            return false;
    }
    return true;
}

// Providers put ":" and "@" in passwords and IPv6 hosts in brackets, which the split above cannot
// take: the method ends at the first ":", the host starts after the last "@".
std::optional<LegacyFields> splitLegacyAtEnds(QStringView decoded)
{
    const qsizetype colon = decoded.indexOf(u':');
    const qsizetype at = decoded.lastIndexOf(u'@');
    if (colon <= 0 || at <= colon + 1)
        return std::nullopt;
    const QStringView hostAndPort = decoded.sliced(at + 1);
    QStringView host;
    QStringView portText;
    if (hostAndPort.startsWith(u'[')) {
        const qsizetype close = hostAndPort.indexOf(u']');
        if (close < 0 || close + 1 >= hostAndPort.size() || hostAndPort[close + 1] != u':')
            return std::nullopt;
        host = hostAndPort.sliced(1, close - 1);
        if (!isIPv6Literal(host))
            return std::nullopt;
        portText = hostAndPort.sliced(close + 2);
    } else {
        const qsizetype portColon = hostAndPort.lastIndexOf(u':');
        if (portColon < 0)
            return std::nullopt;
        host = hostAndPort.first(portColon).trimmed();
        if (host.isEmpty() || host.contains(u':'))
            return std::nullopt;
        portText = hostAndPort.sliced(portColon + 1);
    }
    const auto port = parseDecimal(portText);
    if (!port || *port == 0 || !isPortInRange(*port))
        return std::nullopt;
    return LegacyFields { decoded.first(colon).toString(), decoded.sliced(colon + 1, at - colon - 1).toString(),
        host.toString(), *port };
}

// method:password@host:port, decoded from base64.
ServerPtr parseShadowsocksLegacy(const UriComponents &uri, QStringView decoded)
{
    QString failure;
    auto fields = splitLegacy(decoded, failure);
    if (!fields && failure != invalidPortNumber)
        fields = splitLegacyAtEnds(decoded);
    if (!fields) {
        logError(failure);
        fail(ErrorKind::invalidFormat);
    }
    return makeShadowsocks(uri, uri.raw(Part::fragment).value_or(QString()), fields->address, fields->port,
        fields->method, fields->password);
}

// ss://method:password@host:port, or SIP002's ss://base64(method:password)@host:port.
ServerPtr parseShadowsocksPlain(const UriComponents &uri)
{
    const QString name = uri.raw(Part::fragment).value_or(QString());
    const QString host = uri.raw(Part::host).value_or(QString());
    const qint64 port = uri.port().value_or(0);
    QString password = uri.decoded(Part::password).value_or(QString());
    QString method = uri.decoded(Part::user).value_or(QString());
    if (password.isEmpty()) {
        if (const auto bytes = base64::decodeLenient(method)) {
            if (const auto credentials = utf8Text(*bytes)) {
                const qsizetype colon = credentials->indexOf(u':');
                if (colon >= 0) {
                    method = credentials->first(colon);
                    password = credentials->sliced(colon + 1);
                }
            }
        }
    }
    if (host.isEmpty() || password.isEmpty() || method.isEmpty() || port == 0 || !isPortInRange(port)) {
        logInfo(QStringLiteral("Cannot parse Shadowsocks URI"));
        fail(ErrorKind::invalidFormat);
    }
    return makeShadowsocks(uri, name, host, port, method, password);
}

ServerPtr parseShadowsocks(const UriComponents &uri)
{
    const auto host = uri.raw(Part::host);
    if (!host)
        fail(ErrorKind::invalidFormat);
    // A host that is base64 of text is the legacy form, and only that form is tried then.
    if (const auto bytes = base64::decodeStrictPadded(*host)) {
        if (const auto decoded = utf8Text(*bytes))
            return parseShadowsocksLegacy(uri, *decoded);
    }
    return parseShadowsocksPlain(uri);
}

struct VMessRecord {
    QString name;
    qint64 port = 0;
    QString userId;
    bool tls = false;
    QString address;
};

[[noreturn]] void wrongType(std::string_view key, const char *expected, const Json &value)
{
    throw DecodingError(DecodingError::Kind::typeMismatch,
        QStringLiteral("Expected %1 for key \"%2\" but found %3.")
            .arg(QString::fromLatin1(expected), QString::fromUtf8(key.data(), qsizetype(key.size())),
                QString::fromLatin1(value.type_name())));
}

// Optional keys must have their type when present; JSON null is not a way to leave them out.
const Json *optionalText(const Json &object, std::string_view key)
{
    const auto it = object.find(key);
    if (it == object.end())
        return nullptr;
    if (!it->is_string())
        wrongType(key, "a string", *it);
    return &*it;
}

// Producers disagree on whether "port" and "aid" are numbers or texts; both are read.
VMessRecord decodeVMessRecord(const QByteArray &payload)
{
    const Json document = json::parse(payload, maximumVMessNesting);
    const Json &object = json::object(document);
    VMessRecord record;
    record.name = json::stringAt(object, "ps");

    const Json &port = json::member(object, "port");
    if (port.is_number())
        record.port = json::toInt64(port);
    else if (port.is_string())
        record.port = parseDecimal(json::toString(port)).value_or(0);
    else
        wrongType("port", "an integer or a text", port);

    record.userId = json::stringAt(object, "id");

    if (const auto aid = object.find("aid"); aid != object.end()) {
        if (aid->is_string()) {
            const QString text = json::toString(*aid);
            if (!text.isEmpty() && !parseDecimal(text))
                throw DecodingError(DecodingError::Kind::dataCorrupted,
                    QStringLiteral("The text of key \"aid\" is not a decimal number."));
        } else if (aid->is_number()) {
            json::toInt64(*aid);
        } else {
            wrongType("aid", "an integer or a text", *aid);
        }
    }
    optionalText(object, "net");
    optionalText(object, "type");
    if (const Json *tls = optionalText(object, "tls"))
        record.tls = json::toString(*tls).toUpper() == u"TLS";
    record.address = json::stringAt(object, "add").trimmed();
    return record;
}

ServerPtr parseVMess(const UriComponents &uri)
{
    const auto host = uri.raw(Part::host);
    if (!host)
        fail(ErrorKind::invalidFormat);
    // Standard base64 may hold "/", which ends the authority: the payload continues in the path.
    const QString payload = *host + uri.raw(Part::path).value_or(QString());
    auto bytes = base64::decodeStrictPadded(payload);
    // Some producers write the URL-safe alphabet, with or without padding.
    if (!bytes)
        bytes = base64::decodeLenient(payload);
    if (!bytes)
        fail(ErrorKind::invalidFormat);

    VMessRecord record;
    try {
        record = decodeVMessRecord(*bytes);
    } catch (const DecodingError &error) {
        logInfo(QStringLiteral("Error decoding JSON: ") + error.description());
        fail(ErrorKind::invalidFormat);
    }
    if (record.address.isEmpty() || record.port == 0 || !isPortInRange(record.port) || record.userId.isEmpty())
        fail(ErrorKind::invalidFormat);
    const QString name = record.name.isEmpty() ? record.address : record.name;
    return makeServer(name,
        VMessSettings { record.address, record.port, record.userId, record.tls, QString(), QStringLiteral("auto") });
}

ServerPtr parseVLESS(const UriComponents &uri)
{
    const QString userId = uri.decoded(Part::user).value_or(QString());
    if (userId.isEmpty())
        fail(ErrorKind::invalidFormat);
    const QString host = uri.raw(Part::host).value_or(QString());
    if (host.isEmpty())
        fail(ErrorKind::invalidFormat);
    const auto port = uri.port();
    if (!port || !isPortInRange(*port))
        fail(ErrorKind::invalidFormat);

    const auto items = uri.queryItems();
    const auto lookup = [&items](QStringView key) {
        for (const auto &item : items) {
            if (item.name == key)
                return item.value.value_or(QString());
        }
        return QString();
    };
    const auto orNone = [](QString value) { return value.isEmpty() ? QStringLiteral("none") : value; };

    VLESSSettings settings;
    settings.address = host;
    settings.port = *port;
    settings.userId = userId;
    settings.flow = lookup(u"flow");
    settings.encryption = orNone(lookup(u"encryption"));
    settings.security = orNone(lookup(u"security"));
    settings.sni = lookup(u"sni");
    settings.fingerprint = lookup(u"fp");
    settings.publicKey = lookup(u"pbk");
    settings.shortId = lookup(u"sid");
    settings.spiderX = lookup(u"spx");

    const QString fragment = uri.decoded(Part::fragment).value_or(QString());
    return makeServer(fragment.isEmpty() ? host : fragment, std::move(settings));
}

ServerPtr parseUri(QStringView text)
{
    if (text.size() > maximumUriLength)
        fail(ErrorKind::invalidFormat);
    const auto uri = UriComponents::parse(text);
    if (!uri)
        fail(ErrorKind::invalidFormat);
    const auto scheme = uri->raw(Part::scheme);
    if (!scheme)
        fail(ErrorKind::unsupportedProtocol);
    const QString lowered = scheme->toLower();
    if (lowered == u"ss")
        return parseShadowsocks(*uri);
    if (lowered == u"vmess")
        return parseVMess(*uri);
    if (lowered == u"vless")
        return parseVLESS(*uri);
    fail(ErrorKind::unsupportedProtocol);
}

} // namespace

ServerPtr parseProxyURI(const QString &text)
{
    return parseUri(text);
}

QList<ServerPtr> parseSubscriptionText(const QString &text)
{
    QList<ServerPtr> servers;
    const QStringView all(text);
    qsizetype start = 0;
    while (start < all.size()) {
        qsizetype next = all.indexOf(u'\n', start);
        qsizetype end = next < 0 ? all.size() : next;
        // CRLF line ends: the carriage return goes with the line feed.
        if (next >= 0 && end > start && all[end - 1] == u'\r')
            --end;
        if (end > start) {
            try {
                servers.append(parseUri(all.sliced(start, end - start)));
            } catch (const ProxyURIParseError &error) {
                logError(QStringLiteral("Error parsing server: ") + error.description());
            }
        }
        if (next < 0)
            break;
        start = next + 1;
    }
    if (servers.isEmpty())
        throw SubscriptionError(SubscriptionError::Kind::noServers);
    return servers;
}

QList<ServerPtr> parseSubscriptionBody(const QString &text)
{
    // Servers often end a base64 body with a line break; the decoding itself stays strict.
    if (const auto bytes = base64::decodeStrictPadded(QStringView(text).trimmed())) {
        if (!bytes->isValidUtf8())
            throw UndecodableContentError();
        return parseSubscriptionText(QString::fromUtf8(*bytes));
    }
    // MIME encoders and the base64 tool wrap their output into lines.
    if (text.contains(u'\n') || text.contains(u'\r')) {
        QString joined = text;
        joined.remove(u'\r');
        joined.remove(u'\n');
        const auto bytes = base64::decodeStrictPadded(QStringView(joined).trimmed());
        if (bytes && bytes->isValidUtf8())
            return parseSubscriptionText(QString::fromUtf8(*bytes));
    }
    return parseSubscriptionText(text);
}
