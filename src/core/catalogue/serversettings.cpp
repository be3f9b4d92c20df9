#include "core/catalogue/serversettings.h"

#include <QHashFunctions>

QString rawValue(ShadowsocksCipher cipher)
{
    switch (cipher) {
    case ShadowsocksCipher::aes128Gcm:
        return QStringLiteral("AES-128-GCM");
    case ShadowsocksCipher::aes256Gcm:
        return QStringLiteral("AES-256-GCM");
    case ShadowsocksCipher::chacha20Poly1305:
        return QStringLiteral("ChaCha20-Poly1305");
    }
    Q_UNREACHABLE();
}

QString caseName(ShadowsocksCipher cipher)
{
    switch (cipher) {
    case ShadowsocksCipher::aes128Gcm:
        return QStringLiteral("aes128Gcm");
    case ShadowsocksCipher::aes256Gcm:
        return QStringLiteral("aes256Gcm");
    case ShadowsocksCipher::chacha20Poly1305:
        return QStringLiteral("chacha20Poly1305");
    }
    Q_UNREACHABLE();
}

std::optional<ShadowsocksCipher> cipherFromRawValue(QStringView text)
{
    for (const auto cipher : allShadowsocksCiphers) {
        if (text == rawValue(cipher))
            return cipher;
    }
    return std::nullopt;
}

std::optional<ShadowsocksCipher> cipherFromName(QStringView text)
{
    struct Alias {
        QStringView name;
        ShadowsocksCipher cipher;
    };
    static constexpr Alias aliases[] = {
        { u"aes-128-gcm", ShadowsocksCipher::aes128Gcm },
        { u"aes_128_gcm", ShadowsocksCipher::aes128Gcm },
        { u"aes128gcm", ShadowsocksCipher::aes128Gcm },
        { u"aes-256-gcm", ShadowsocksCipher::aes256Gcm },
        { u"aes_256_gcm", ShadowsocksCipher::aes256Gcm },
        { u"aes256gcm", ShadowsocksCipher::aes256Gcm },
        { u"chacha20-poly1305", ShadowsocksCipher::chacha20Poly1305 },
        { u"chacha20_poly1305", ShadowsocksCipher::chacha20Poly1305 },
        { u"chacha20poly1305", ShadowsocksCipher::chacha20Poly1305 },
        { u"chacha20-ietf-poly1305", ShadowsocksCipher::chacha20Poly1305 },
    };
    const QString lower = text.toString().toLower();
    for (const auto &alias : aliases) {
        if (lower == alias.name)
            return alias.cipher;
    }
    return std::nullopt;
}

size_t qHash(const VMessSettings &s, size_t seed)
{
    return qHashMulti(seed, s.address, s.port, s.userId, s.tls, s.userAlterId, s.security);
}

QString address(const ServerSettings &settings)
{
    return std::visit([](const auto &s) { return s.address; }, settings);
}

qint64 port(const ServerSettings &settings)
{
    return std::visit([](const auto &s) { return s.port; }, settings);
}

QString addressWithPort(const ServerSettings &settings)
{
    return address(settings) + u':' + QString::number(port(settings));
}

QString protocolName(const ServerSettings &settings)
{
    switch (settings.index()) {
    case 0:
        return QStringLiteral("Shadowsocks");
    case 1:
        return QStringLiteral("VMess");
    default:
        return QStringLiteral("VLESS");
    }
}
