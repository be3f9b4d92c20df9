#pragma once

#include <QString>
#include <QStringList>

// Address ranges of one country from the tor-geoipdb files ("/usr/share/tor/geoip" and
// "geoip6"), as the CIDR blocks the engine's routing takes. Only the chosen countries are read
// out: a table of every country costs the engine far more memory than the few the user picked.
namespace geoip {

inline constexpr auto ipv4File = "/usr/share/tor/geoip";
inline constexpr auto ipv6File = "/usr/share/tor/geoip6";

// The two-letter country code a region's top-level domain stands for (".uk" is Great Britain).
QString countryCodeForTld(const QString &tld);

// The blocks of `countryCode` in both files, IPv4 first; files that cannot be read give none.
QStringList rangesFor(const QString &countryCode, const QString &ipv4Path = QString::fromLatin1(ipv4File),
    const QString &ipv6Path = QString::fromLatin1(ipv6File));

// The fewest CIDR blocks that cover exactly first..last.
QStringList ipv4Blocks(quint32 first, quint32 last);
QStringList ipv6Blocks(unsigned __int128 first, unsigned __int128 last);

} // namespace geoip
