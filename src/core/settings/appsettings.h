#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

class DefaultsStore;

struct GeneralSettings {
    bool connectOnStart = false;
    friend bool operator==(const GeneralSettings &, const GeneralSettings &) = default;
};

// Identified by label wherever the program needs a region's identity.
struct GeoIPRegion {
    QString label;
    QString value;
    friend bool operator==(const GeoIPRegion &, const GeoIPRegion &) = default;
};
size_t qHash(const GeoIPRegion &region, size_t seed = 0);

struct GeoIPSettings {
    bool isEnabled = false;
    QList<GeoIPRegion> regions { GeoIPRegion { QStringLiteral("China"), QStringLiteral(".cn") } };
    friend bool operator==(const GeoIPSettings &, const GeoIPSettings &) = default;
};

enum class DomainRuleType { fullDomain, rootDomain };

struct DomainItem {
    QString domain;
    DomainRuleType type = DomainRuleType::fullDomain;
    // Identity of the editor row only: never stored, fresh on every decode.
    QUuid id = QUuid::createUuid();
    friend bool operator==(const DomainItem &, const DomainItem &) = default;
};

struct RoutingSettings {
    QList<DomainItem> directDomains;
    QList<DomainItem> proxyDomains;
    QList<DomainItem> blockDomains;
    friend bool operator==(const RoutingSettings &, const RoutingSettings &) = default;
};

struct DNSSettings {
    bool prioritizeLocalDNS = true;
    QStringList address { QStringLiteral("8.8.8.8"), QStringLiteral("1.1.1.1") };
    friend bool operator==(const DNSSettings &, const DNSSettings &) = default;
};

struct NetworkSettings {
    bool transparentProxy = true;
    bool httpProxy = false;
    bool systemProxy = true;
    // The editor keeps it within 1...65535; stored values are taken as they are.
    qint64 httpProxyPort = 8080;
    friend bool operator==(const NetworkSettings &, const NetworkSettings &) = default;
};

struct AppSettings {
    GeneralSettings general;
    GeoIPSettings geoIP;
    RoutingSettings routing;
    DNSSettings dns;
    NetworkSettings network;
    friend bool operator==(const AppSettings &, const AppSettings &) = default;

    // The settings stored under "settings", or the defaults when there are none or they do not decode.
    // Undecodable data is left on disk untouched until the next save, which keeps a copy first.
    static AppSettings load(DefaultsStore &store);
    // Rewrites the whole stored document; a failure leaves the previous one in place, returns false
    // and reaches the store's observer.
    bool save(DefaultsStore &store) const;
};
