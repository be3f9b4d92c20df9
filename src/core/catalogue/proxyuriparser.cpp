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

ShadowsocksCipher cipherOrDefault(QStringView method)
{
    return cipherFromName(method).value_or(ShadowsocksCipher::aes128Gcm);
}

// method:password@host:port, decoded from base64.
ServerPtr parseShadowsocksLegacy(QString name, QStringView decoded)
{
    const auto pieces = decoded.split(u':', Qt::SkipEmptyParts);
    if (pieces.size() != 3) {
        logError(QStringLiteral("Shadowsocks: Invalid components count"));
        fail(ErrorKind::invalidFormat);
    }
    const auto passwordAndHost = pieces[1].split(u'@', Qt::SkipEmptyParts);
    const auto port = parseDecimal(pieces[2]);
    if (!port || *port == 0) {
        logError(QStringLiteral("Shadowsocks: Invalid port number"));
        fail(ErrorKind::invalidFormat);
    }
    if (passwordAndHost.size() != 2) {
        logError(QStringLiteral("Shadowsocks: Cannot extract password and IP address"));
        fail(ErrorKind::invalidFormat);
    }
    const QString address = passwordAndHost[1].toString();
    if (name.isEmpty())
        name = address;
    return makeServer(
        name, ShadowsockSettings { address, *port, cipherOrDefault(pieces[0]), passwordAndHost[0].toString() });
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
    if (host.isEmpty() || password.isEmpty() || method.isEmpty() || port == 0) {
        logInfo(QStringLiteral("Cannot parse Shadowsocks URI"));
        fail(ErrorKind::invalidFormat);
    }
    return makeServer(
        name.isEmpty() ? host : name, ShadowsockSettings { host, port, cipherOrDefault(method), password });
}

ServerPtr parseShadowsocks(const UriComponents &uri)
{
    const auto host = uri.raw(Part::host);
    if (!host)
        fail(ErrorKind::invalidFormat);
    // A host that is base64 of text is the legacy form, and only that form is tried then.
    if (const auto bytes = base64::decodeStrictPadded(*host)) {
        if (const auto decoded = utf8Text(*bytes))
            return parseShadowsocksLegacy(uri.raw(Part::fragment).value_or(QString()), *decoded);
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
    const Json document = json::parse(payload);
    const Json &object = json::object(document);
    VMessRecord record;
    record.name = json::stringAt(object, "ps");

    const Json &port = json::member(object, "port");
    if (port.is_number_integer())
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
        } else if (!aid->is_number_integer()) {
            wrongType("aid", "an integer or a text", *aid);
        }
    }
    optionalText(object, "net");
    optionalText(object, "type");
    if (const Json *tls = optionalText(object, "tls"))
        record.tls = json::toString(*tls).toUpper() == u"TLS";
    record.address = json::stringAt(object, "add");
    return record;
}

ServerPtr parseVMess(const UriComponents &uri)
{
    const auto host = uri.raw(Part::host);
    if (!host)
        fail(ErrorKind::invalidFormat);
    // Standard base64 may hold "/", which ends the authority: the payload continues in the path.
    const QString payload = *host + uri.raw(Part::path).value_or(QString());
    const auto bytes = base64::decodeStrictPadded(payload);
    if (!bytes)
        fail(ErrorKind::invalidFormat);

    VMessRecord record;
    try {
        record = decodeVMessRecord(*bytes);
    } catch (const DecodingError &error) {
        logInfo(QStringLiteral("Error decoding JSON: ") + error.description());
        fail(ErrorKind::invalidFormat);
    }
    if (record.address.isEmpty() || record.port == 0 || record.userId.isEmpty())
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
    if (!port)
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
    return parseSubscriptionText(text);
}
