#include "app/platform/profilestore.h"

#include "core/foundation/defaultsstore.h"
#include "core/foundation/log.h"

#include <algorithm>

using namespace json;

namespace {

QString storeKey()
{
    return QString::fromLatin1(ProfileStore::key);
}

ProviderConfiguration decodeProviderConfiguration(const Json &j)
{
    object(j);
    ProviderConfiguration c;
    c.backend = stringAt(j, "backend");
    c.remoteAddress = stringAt(j, "remoteAddress");
    c.isTransparentProxy = boolAt(j, "isTransparentProxy");
    c.isHTTPProxy = boolAt(j, "isHTTPProxy");
    c.isSystemProxy = boolAt(j, "isSystemProxy");
    c.httpProxyPort = int64At(j, "httpProxyPort");
    return c;
}

Json encodeProtocol(const TunnelProtocol &p)
{
    Json j = Json::object();
    j["disconnectOnSleep"] = p.disconnectOnSleep;
    j["serverAddress"] = fromString(p.serverAddress);
    j["providerConfiguration"] = encodeProviderConfiguration(p.providerConfiguration);
    return j;
}

TunnelProtocol decodeProtocol(const Json &j)
{
    object(j);
    return TunnelProtocol { boolAt(j, "disconnectOnSleep"), stringAt(j, "serverAddress"),
        decodeProviderConfiguration(member(j, "providerConfiguration")) };
}

Json encodeProfile(const StoredProfile &p)
{
    Json rules = Json::array();
    for (const auto &rule : p.onDemandRules)
        rules.push_back(Json { { "interfaceTypeMatch", rule.interfaceTypeMatch } });
    Json j = Json::object();
    j["id"] = fromUuid(p.id);
    j["localizedDescription"] = fromString(p.localizedDescription);
    j["isEnabled"] = p.isEnabled;
    if (p.protocolConfiguration)
        j["protocolConfiguration"] = encodeProtocol(*p.protocolConfiguration);
    j["onDemandRules"] = std::move(rules);
    j["isOnDemandEnabled"] = p.isOnDemandEnabled;
    return j;
}

StoredProfile decodeProfile(const Json &j)
{
    object(j);
    StoredProfile p;
    p.id = toUuid(member(j, "id"));
    p.localizedDescription = stringAt(j, "localizedDescription");
    p.isEnabled = boolAt(j, "isEnabled");
    if (const Json *protocol = optionalMember(j, "protocolConfiguration"))
        p.protocolConfiguration = decodeProtocol(*protocol);
    for (const Json &rule : array(member(j, "onDemandRules")))
        p.onDemandRules.append(OnDemandConnectRule { int(int64At(object(rule), "interfaceTypeMatch")) });
    p.isOnDemandEnabled = boolAt(j, "isOnDemandEnabled");
    return p;
}

} // namespace

Json encodeProviderConfiguration(const ProviderConfiguration &c)
{
    Json j = Json::object();
    j["backend"] = fromString(c.backend);
    j["remoteAddress"] = fromString(c.remoteAddress);
    j["isTransparentProxy"] = c.isTransparentProxy;
    j["isHTTPProxy"] = c.isHTTPProxy;
    j["isSystemProxy"] = c.isSystemProxy;
    j["httpProxyPort"] = c.httpProxyPort;
    return j;
}

Json encodeStoredProfiles(const QList<StoredProfile> &profiles)
{
    Json j = Json::array();
    for (const auto &profile : profiles)
        j.push_back(encodeProfile(profile));
    return j;
}

QList<StoredProfile> decodeStoredProfiles(const Json &j)
{
    QList<StoredProfile> profiles;
    for (const Json &profile : array(j))
        profiles.append(decodeProfile(profile));
    return profiles;
}

QList<StoredProfile> ProfileStore::loadAll() const
{
    const auto bytes = m_store->data(storeKey());
    if (!bytes)
        return {};
    try {
        return decodeStoredProfiles(parse(*bytes));
    } catch (const DecodingError &e) {
        throw PlatformFailure(QStringLiteral("The saved tunnel profiles in %1 cannot be read: %2")
                                  .arg(m_store->filePath(storeKey()), e.description()));
    }
}

std::optional<StoredProfile> ProfileStore::find(const QUuid &id) const
{
    const auto profiles = loadAll();
    const auto it = std::find_if(profiles.begin(), profiles.end(), [&](const StoredProfile &p) { return p.id == id; });
    if (it == profiles.end())
        return std::nullopt;
    return *it;
}

QList<StoredProfile> ProfileStore::loadForWriting()
{
    try {
        return loadAll();
    } catch (const PlatformFailure &e) {
        // Saving must stay possible, or the user could never connect again; the unreadable
        // document is kept beside the new one so that nothing is lost.
        const auto copy = m_store->preserveUnreadable(storeKey());
        if (!copy)
            throw;
        logError(QStringLiteral("%1; a copy is kept at %2").arg(e.description(), *copy));
        return {};
    }
}

void ProfileStore::write(const QList<StoredProfile> &profiles)
{
    if (!m_store->setData(storeKey(), serialize(encodeStoredProfiles(profiles))))
        throw PlatformFailure(
            QStringLiteral("The tunnel profiles cannot be saved to %1").arg(m_store->filePath(storeKey())));
}

void ProfileStore::save(const StoredProfile &profile)
{
    auto profiles = loadForWriting();
    const auto it
        = std::find_if(profiles.begin(), profiles.end(), [&](const StoredProfile &p) { return p.id == profile.id; });
    if (it == profiles.end())
        profiles.append(profile);
    else
        *it = profile;
    write(profiles);
}

bool ProfileStore::remove(const QUuid &id)
{
    auto profiles = loadForWriting();
    if (profiles.removeIf([&](const StoredProfile &p) { return p.id == id; }) == 0)
        return false;
    write(profiles);
    return true;
}
