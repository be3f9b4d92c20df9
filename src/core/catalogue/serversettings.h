#pragma once

#include <QMetaType>
#include <QString>
#include <QStringView>

#include <optional>
#include <variant>

enum class ShadowsocksCipher { aes128Gcm, aes256Gcm, chacha20Poly1305 };

inline constexpr ShadowsocksCipher allShadowsocksCiphers[] = {
    ShadowsocksCipher::aes128Gcm,
    ShadowsocksCipher::aes256Gcm,
    ShadowsocksCipher::chacha20Poly1305,
};

// "AES-128-GCM", "AES-256-GCM", "ChaCha20-Poly1305": the text stored in JSON.
QString rawValue(ShadowsocksCipher cipher);
// Exact, case-sensitive match of the raw values.
std::optional<ShadowsocksCipher> cipherFromRawValue(QStringView text);
// Lenient lookup of the names found in proxy URIs ("aes-256-gcm", "chacha20-ietf-poly1305", ...).
std::optional<ShadowsocksCipher> cipherFromName(QStringView text);
// The case name ("aes128Gcm"), which is how the form's picker labels a cipher.
QString caseName(ShadowsocksCipher cipher);

// The type name lacks the second "s" on purpose: it is part of the stored format's vocabulary.
struct ShadowsockSettings {
    QString address;
    qint64 port = 0;
    ShadowsocksCipher cipher = ShadowsocksCipher::aes128Gcm;
    QString password;
    friend bool operator==(const ShadowsockSettings &, const ShadowsockSettings &) = default;
};

struct VMessSettings {
    QString address;
    qint64 port = 0;
    QString userId;
    bool tls = false;
    QString userAlterId;
    QString security;
    friend bool operator==(const VMessSettings &, const VMessSettings &) = default;
};

// Stored and handed to the tunnel verbatim; this program never interprets the fields.
struct VLESSSettings {
    QString address;
    qint64 port = 0;
    QString userId;
    QString flow;
    QString encryption;
    QString security;
    QString sni;
    QString fingerprint;
    QString publicKey;
    QString shortId;
    QString spiderX;
    friend bool operator==(const VLESSSettings &, const VLESSSettings &) = default;
};

size_t qHash(const VMessSettings &settings, size_t seed = 0);

// Cases in order: shadowsocks, vMess, vless.
using ServerSettings = std::variant<ShadowsockSettings, VMessSettings, VLESSSettings>;

QString address(const ServerSettings &settings);
qint64 port(const ServerSettings &settings);
// "address:port", the tunnel profile's server address.
QString addressWithPort(const ServerSettings &settings);
// "Shadowsocks", "VMess", "VLESS".
QString protocolName(const ServerSettings &settings);

enum class OnlineStatus { unknown, online, offline };

Q_DECLARE_METATYPE(ServerSettings)
