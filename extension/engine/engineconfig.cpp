#include "engine/engineconfig.h"

#include "core/tunnel/tunnelprovidererror.h"

using json::fromString;

namespace {

[[noreturn]] void refuse(const QString &reason)
{
    throw TunnelProviderError(TunnelProviderError::Code::startBackend, reason);
}

void requirePort(qint64 port, const QString &what)
{
    if (port < 1 || port > 65535)
        refuse(QStringLiteral("the %1 %2 is out of range").arg(what).arg(port));
}

Json tcp()
{
    Json stream = Json::object();
    stream["network"] = "tcp";
    return stream;
}

Json shadowsocksOutbound(const ShadowsockSettings &s)
{
    static const QHash<ShadowsocksCipher, QString> methods {
        { ShadowsocksCipher::aes128Gcm, QStringLiteral("aes-128-gcm") },
        { ShadowsocksCipher::aes256Gcm, QStringLiteral("aes-256-gcm") },
        { ShadowsocksCipher::chacha20Poly1305, QStringLiteral("chacha20-poly1305") },
    };
    Json server = Json::object();
    server["address"] = fromString(s.address);
    server["port"] = s.port;
    server["method"] = fromString(methods.value(s.cipher));
    server["password"] = fromString(s.password);
    Json outbound = Json::object();
    outbound["protocol"] = "shadowsocks";
    outbound["settings"]["servers"] = Json::array({ server });
    return outbound;
}

Json vnext(const QString &address, qint64 port, Json user)
{
    Json server = Json::object();
    server["address"] = fromString(address);
    server["port"] = port;
    server["users"] = Json::array({ std::move(user) });
    Json settings = Json::object();
    settings["vnext"] = Json::array({ std::move(server) });
    return settings;
}

Json vmessOutbound(const VMessSettings &s)
{
    Json user = Json::object();
    user["id"] = fromString(s.userId);
    // 0 selects the authenticated (AEAD) header, the only one worth speaking.
    user["alterId"] = 0;
    user["security"] = fromString(s.security.isEmpty() ? QStringLiteral("auto") : s.security);
    Json outbound = Json::object();
    outbound["protocol"] = "vmess";
    outbound["settings"] = vnext(s.address, s.port, std::move(user));
    Json stream = tcp();
    if (s.tls) {
        stream["security"] = "tls";
        stream["tlsSettings"]["serverName"] = fromString(s.address);
    }
    outbound["streamSettings"] = std::move(stream);
    return outbound;
}

Json vlessOutbound(const VLESSSettings &s, EngineKind kind, QStringList &warnings)
{
    const bool xray = kind == EngineKind::xray;
    if (s.encryption != u"none")
        refuse(QStringLiteral("the VLESS encryption \"%1\" is not supported").arg(s.encryption));
    if (!s.flow.isEmpty() && !xray)
        refuse(QStringLiteral(
            "the server uses the flow \"%1\", which the v2ray engine does not support; install xray to use it")
                   .arg(s.flow));

    Json user = Json::object();
    user["id"] = fromString(s.userId);
    user["encryption"] = "none";
    if (!s.flow.isEmpty())
        user["flow"] = fromString(s.flow);
    Json outbound = Json::object();
    outbound["protocol"] = "vless";
    outbound["settings"] = vnext(s.address, s.port, std::move(user));

    Json stream = tcp();
    const QString serverName = s.sni.isEmpty() ? s.address : s.sni;
    if (s.security == u"tls") {
        stream["security"] = "tls";
        stream["tlsSettings"]["serverName"] = fromString(serverName);
        if (!s.fingerprint.isEmpty()) {
            if (xray)
                stream["tlsSettings"]["fingerprint"] = fromString(s.fingerprint);
            else
                warnings.append(QStringLiteral(
                    "The v2ray engine cannot imitate the \"%1\" TLS fingerprint; it connects with its own")
                                    .arg(s.fingerprint));
        }
    } else if (s.security == u"reality") {
        if (!xray)
            refuse(QStringLiteral(
                "the server uses REALITY, which the v2ray engine does not support; install xray to use it"));
        if (s.publicKey.isEmpty())
            refuse(QStringLiteral("the REALITY server has no public key"));
        Json reality = Json::object();
        reality["serverName"] = fromString(serverName);
        reality["fingerprint"] = fromString(s.fingerprint.isEmpty() ? QStringLiteral("chrome") : s.fingerprint);
        reality["publicKey"] = fromString(s.publicKey);
        reality["shortId"] = fromString(s.shortId);
        reality["spiderX"] = fromString(s.spiderX);
        stream["security"] = "reality";
        stream["realitySettings"] = std::move(reality);
    } else if (s.security != u"none") {
        refuse(QStringLiteral("the transport security \"%1\" is not supported").arg(s.security));
    }
    outbound["streamSettings"] = std::move(stream);
    return outbound;
}

Json proxyOutbound(const ServerSettings &settings, EngineKind kind, QStringList &warnings)
{
    requirePort(port(settings), QStringLiteral("server port"));
    if (address(settings).isEmpty())
        refuse(QStringLiteral("the server has no address"));
    Json outbound = std::visit(
        [&](const auto &s) -> Json {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, ShadowsockSettings>)
                return shadowsocksOutbound(s);
            else if constexpr (std::is_same_v<T, VMessSettings>)
                return vmessOutbound(s);
            else
                return vlessOutbound(s, kind, warnings);
        },
        settings);
    outbound["tag"] = "proxy";
    return outbound;
}

Json plainOutbound(const char *tag, const char *protocol)
{
    Json outbound = Json::object();
    outbound["tag"] = tag;
    outbound["protocol"] = protocol;
    outbound["settings"] = Json::object();
    return outbound;
}

// An HTTP proxy inbound on the loopback interface.
Json httpInbound(const char *tag, quint16 port)
{
    Json http = Json::object();
    http["tag"] = tag;
    http["listen"] = "127.0.0.1";
    http["port"] = port;
    http["protocol"] = "http";
    http["settings"] = Json::object();
    return http;
}

// Takes intercepted TCP and UDP with their original destinations. Sniffing recovers the names of
// connections that arrive as bare addresses, so the domain lists still apply; the mark keeps the
// engine's own replies out of the interception.
Json transparentInbound(const char *tag, const char *listen, quint16 port)
{
    Json inbound = Json::object();
    inbound["tag"] = tag;
    inbound["listen"] = listen;
    inbound["port"] = port;
    inbound["protocol"] = "dokodemo-door";
    inbound["settings"]["network"] = "tcp,udp";
    inbound["settings"]["followRedirect"] = true;
    inbound["streamSettings"]["sockopt"]["tproxy"] = "tproxy";
    inbound["streamSettings"]["sockopt"]["mark"] = engineSocketMark;
    inbound["sniffing"]["enabled"] = true;
    inbound["sniffing"]["destOverride"] = Json::array({ "http", "tls" });
    return inbound;
}

// A routing rule sending what matches `values` under `key` to the outbound.
Json fieldRule(const char *key, Json values, const char *outboundTag)
{
    Json rule = Json::object();
    rule["type"] = "field";
    rule[key] = std::move(values);
    rule["outboundTag"] = outboundTag;
    return rule;
}

// "full:" matches the host exactly, "domain:" the host and every subdomain.
void addDomainRule(Json &rules, const QList<DomainItem> &items, const char *outboundTag)
{
    Json domains = Json::array();
    for (const auto &item : items) {
        if (item.domain.isEmpty())
            continue;
        const QString prefix
            = item.type == DomainRuleType::fullDomain ? QStringLiteral("full:") : QStringLiteral("domain:");
        domains.push_back(fromString(prefix + item.domain));
    }
    if (!domains.empty())
        rules.push_back(fieldRule("domain", std::move(domains), outboundTag));
}

} // namespace

EngineConfig makeEngineConfig(const BackendConfiguration &backend, const EngineOptions &options)
{
    const AppSettings &app = backend.appSettings;
    const bool transparent = app.network.transparentProxy;
    if (transparent && options.transparentPort == 0)
        refuse(QStringLiteral("the transparent proxy has no port to listen on"));

    EngineConfig config;
    Json &doc = config.document;
    doc = Json::object();
    doc["log"]["loglevel"] = "warning";
    // The tunnel's log must not become a list of every site the user visits.
    doc["log"]["access"] = "none";

    Json inbounds = Json::array();
    if (app.network.httpProxy) {
        requirePort(app.network.httpProxyPort, QStringLiteral("HTTP proxy port"));
        inbounds.push_back(httpInbound("http-in", quint16(app.network.httpProxyPort)));
    }
    if (options.tunnelPort != 0) {
        inbounds.push_back(httpInbound("tunnel-in", options.tunnelPort));
    }
    if (transparent) {
        // Two inbounds, two tags: given one tag twice, the engine silently keeps one of them.
        inbounds.push_back(transparentInbound("transparent-in", "127.0.0.1", options.transparentPort));
        if (options.transparentIPv6)
            inbounds.push_back(transparentInbound("transparent-in6", "::1", options.transparentPort));
    }
    if (options.apiPort != 0) {
        Json api = Json::object();
        api["tag"] = "api-in";
        api["listen"] = "127.0.0.1";
        api["port"] = options.apiPort;
        api["protocol"] = "dokodemo-door";
        api["settings"]["address"] = "127.0.0.1";
        inbounds.push_back(std::move(api));
        doc["api"]["tag"] = "api";
        doc["api"]["services"] = Json::array({ "StatsService" });
        doc["stats"] = Json::object();
        doc["policy"]["system"]["statsOutboundUplink"] = true;
        doc["policy"]["system"]["statsOutboundDownlink"] = true;
    }
    doc["inbounds"] = std::move(inbounds);

    // The first outbound takes everything no rule claims.
    Json proxy = proxyOutbound(backend.serverSettings, options.kind, config.warnings);
    if (!options.serverDialAddress.isEmpty()) {
        Json &settings = proxy["settings"];
        Json &server = settings.contains("servers") ? settings["servers"][0] : settings["vnext"][0];
        server["address"] = fromString(options.serverDialAddress);
    }
    Json outbounds
        = Json::array({ std::move(proxy), plainOutbound("direct", "freedom"), plainOutbound("block", "blackhole") });
    if (transparent) {
        // Intercepted queries are answered by the engine; the kinds it does not answer itself go
        // through the server, never straight out.
        Json dns = plainOutbound("dns-out", "dns");
        dns["proxySettings"]["tag"] = "proxy";
        outbounds.push_back(std::move(dns));
        // Unmarked, the engine's own connections would be intercepted and handed back to it.
        for (Json &outbound : outbounds) {
            if (outbound["protocol"] != "blackhole")
                outbound["streamSettings"]["sockopt"]["mark"] = engineSocketMark;
        }
    }
    doc["outbounds"] = std::move(outbounds);

    Json rules = Json::array();
    if (options.apiPort != 0)
        rules.push_back(fieldRule("inboundTag", Json::array({ "api-in" }), "api"));
    if (options.tunnelPort != 0)
        rules.push_back(fieldRule("inboundTag", Json::array({ "tunnel-in" }), "proxy"));
    if (transparent) {
        Json tags = Json::array({ "transparent-in" });
        if (options.transparentIPv6)
            tags.push_back("transparent-in6");
        Json dns = fieldRule("inboundTag", std::move(tags), "dns-out");
        dns["network"] = "udp";
        dns["port"] = 53;
        rules.push_back(std::move(dns));
    }
    // The user's own lists come before the regions, so a proxied name inside a direct region stays proxied.
    addDomainRule(rules, app.routing.blockDomains, "block");
    addDomainRule(rules, app.routing.proxyDomains, "proxy");
    addDomainRule(rules, app.routing.directDomains, "direct");
    bool matchesAddresses = false;
    if (app.geoIP.isEnabled) {
        Json domains = Json::array();
        Json ranges = Json::array();
        for (const auto &region : app.geoIP.regions) {
            const QString tld = region.value.startsWith(u'.') ? region.value.mid(1) : region.value;
            if (!tld.isEmpty())
                domains.push_back(fromString(QStringLiteral("domain:") + tld));
            for (const auto &range : options.regionRanges.value(region.value))
                ranges.push_back(fromString(range));
        }
        if (!domains.empty())
            rules.push_back(fieldRule("domain", std::move(domains), "direct"));
        if (!ranges.empty()) {
            rules.push_back(fieldRule("ip", std::move(ranges), "direct"));
            matchesAddresses = true;
        }
    }
    // Resolving names costs a lookup per connection; only address rules need it.
    doc["routing"]["domainStrategy"] = matchesAddresses ? "IPIfNonMatch" : "AsIs";
    doc["routing"]["rules"] = std::move(rules);

    Json servers = Json::array();
    // The system's resolver would send the engine's own lookups into the interception and back.
    if (app.dns.prioritizeLocalDNS && !transparent)
        servers.push_back("localhost");
    for (const auto &server : app.dns.address) {
        if (!server.trimmed().isEmpty())
            servers.push_back(fromString(server));
    }
    if (transparent && servers.empty())
        refuse(QStringLiteral("the transparent proxy needs at least one DNS server address in the DNS settings"));
    doc["dns"]["servers"] = std::move(servers);
    return config;
}
