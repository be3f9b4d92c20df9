#include "core/settings/appsettingsjson.h"

using namespace json;

namespace {

constexpr std::string_view fullDomainCase = "fullDomain";
constexpr std::string_view rootDomainCase = "rootDomain";

template <typename Element, typename Decode> QList<Element> decodeList(const Json &value, Decode decodeElement)
{
    const Json &elements = array(value);
    QList<Element> result;
    result.reserve(qsizetype(elements.size()));
    for (const Json &element : elements)
        result.append(decodeElement(element));
    return result;
}

Json encodeGeneral(const GeneralSettings &settings)
{
    Json j = Json::object();
    j["connectOnStart"] = settings.connectOnStart;
    return j;
}

GeneralSettings decodeGeneral(const Json &j)
{
    return GeneralSettings { boolAt(j, "connectOnStart") };
}

Json encodeRegion(const GeoIPRegion &region)
{
    Json j = Json::object();
    j["label"] = fromString(region.label);
    j["value"] = fromString(region.value);
    return j;
}

GeoIPRegion decodeRegion(const Json &j)
{
    return GeoIPRegion { stringAt(j, "label"), stringAt(j, "value") };
}

Json encodeGeoIP(const GeoIPSettings &settings)
{
    Json regions = Json::array();
    for (const auto &region : settings.regions)
        regions.push_back(encodeRegion(region));
    Json j = Json::object();
    j["isEnabled"] = settings.isEnabled;
    j["regions"] = std::move(regions);
    return j;
}

GeoIPSettings decodeGeoIP(const Json &j)
{
    GeoIPSettings settings;
    settings.isEnabled = boolAt(j, "isEnabled");
    settings.regions = decodeList<GeoIPRegion>(member(j, "regions"), decodeRegion);
    return settings;
}

Json encodeRuleType(DomainRuleType type)
{
    switch (type) {
    case DomainRuleType::fullDomain:
        return emptyCase(fullDomainCase);
    case DomainRuleType::rootDomain:
        return emptyCase(rootDomainCase);
    }
    Q_UNREACHABLE();
}

DomainRuleType decodeRuleType(const Json &j)
{
    const auto name = oneKey(j, { fullDomainCase, rootDomainCase });
    // The case carries no payload, but it must still be written as an object.
    object(member(j, name));
    return name == rootDomainCase ? DomainRuleType::rootDomain : DomainRuleType::fullDomain;
}

Json encodeDomainItem(const DomainItem &item)
{
    // The id only tells editor rows apart, so it stays out of the document.
    Json j = Json::object();
    j["domain"] = fromString(item.domain);
    j["type"] = encodeRuleType(item.type);
    return j;
}

DomainItem decodeDomainItem(const Json &j)
{
    // Built without an id so that every decode gets a fresh one.
    return DomainItem { stringAt(j, "domain"), decodeRuleType(member(j, "type")) };
}

Json encodeDomainList(const QList<DomainItem> &items)
{
    Json j = Json::array();
    for (const auto &item : items)
        j.push_back(encodeDomainItem(item));
    return j;
}

Json encodeRouting(const RoutingSettings &settings)
{
    Json j = Json::object();
    j["directDomains"] = encodeDomainList(settings.directDomains);
    j["proxyDomains"] = encodeDomainList(settings.proxyDomains);
    j["blockDomains"] = encodeDomainList(settings.blockDomains);
    return j;
}

RoutingSettings decodeRouting(const Json &j)
{
    RoutingSettings settings;
    settings.directDomains = decodeList<DomainItem>(member(j, "directDomains"), decodeDomainItem);
    settings.proxyDomains = decodeList<DomainItem>(member(j, "proxyDomains"), decodeDomainItem);
    settings.blockDomains = decodeList<DomainItem>(member(j, "blockDomains"), decodeDomainItem);
    return settings;
}

Json encodeDNS(const DNSSettings &settings)
{
    Json address = Json::array();
    for (const auto &server : settings.address)
        address.push_back(fromString(server));
    Json j = Json::object();
    j["prioritizeLocalDNS"] = settings.prioritizeLocalDNS;
    j["address"] = std::move(address);
    return j;
}

DNSSettings decodeDNS(const Json &j)
{
    DNSSettings settings;
    settings.prioritizeLocalDNS = boolAt(j, "prioritizeLocalDNS");
    settings.address = decodeList<QString>(member(j, "address"), toString);
    return settings;
}

} // namespace

Json encodeNetworkSettings(const NetworkSettings &settings)
{
    Json j = Json::object();
    j["transparentProxy"] = settings.transparentProxy;
    j["httpProxyPort"] = settings.httpProxyPort;
    j["httpProxy"] = settings.httpProxy;
    j["systemProxy"] = settings.systemProxy;
    return j;
}

NetworkSettings decodeNetworkSettings(const Json &j)
{
    // Each switch missing or null takes its own default, so a partial document keeps what it does say.
    NetworkSettings settings;
    if (const Json *value = optionalMember(j, "transparentProxy"))
        settings.transparentProxy = toBool(*value);
    if (const Json *value = optionalMember(j, "httpProxyPort"))
        settings.httpProxyPort = toInt64(*value);
    if (const Json *value = optionalMember(j, "httpProxy"))
        settings.httpProxy = toBool(*value);
    if (const Json *value = optionalMember(j, "systemProxy"))
        settings.systemProxy = toBool(*value);
    return settings;
}

Json encodeAppSettings(const AppSettings &settings)
{
    Json j = Json::object();
    j["dns"] = encodeDNS(settings.dns);
    j["network"] = encodeNetworkSettings(settings.network);
    j["geoIP"] = encodeGeoIP(settings.geoIP);
    j["general"] = encodeGeneral(settings.general);
    j["routing"] = encodeRouting(settings.routing);
    return j;
}

AppSettings decodeAppSettings(const Json &j)
{
    // There is no version field: documents lacking "general", "routing" or "network" still load,
    // taking those members' defaults, while "dns" and "geoIP" remain required.
    AppSettings settings;
    settings.dns = decodeDNS(member(j, "dns"));
    settings.geoIP = decodeGeoIP(member(j, "geoIP"));
    if (const Json *general = optionalMember(j, "general"))
        settings.general = decodeGeneral(*general);
    if (const Json *routing = optionalMember(j, "routing"))
        settings.routing = decodeRouting(*routing);
    if (const Json *network = optionalMember(j, "network"))
        settings.network = decodeNetworkSettings(*network);
    return settings;
}
