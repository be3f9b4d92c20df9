#pragma once

#include "app/tunnel/tunnelplatform.h"
#include "core/foundation/jsoncoding.h"

#include <QList>
#include <QUuid>

#include <optional>

class DefaultsStore;

// A tunnel profile as it is kept on disk.
struct StoredProfile {
    QUuid id;
    QString localizedDescription;
    bool isEnabled = false;
    std::optional<TunnelProtocol> protocolConfiguration;
    QList<OnDemandConnectRule> onDemandRules;
    bool isOnDemandEnabled = false;
    friend bool operator==(const StoredProfile &, const StoredProfile &) = default;
};

// The document is an array of profiles in stored order; the decoder throws DecodingError.
Json encodeStoredProfiles(const QList<StoredProfile> &profiles);
QList<StoredProfile> decodeStoredProfiles(const Json &json);
// The provider configuration is also what the tunnel program receives with start.
Json encodeProviderConfiguration(const ProviderConfiguration &configuration);

// The saved tunnel profiles, under the key "profiles" of the user's key-value store. Every call
// reads or rewrites the whole document, so several profile objects never overwrite each other.
// All operations throw PlatformFailure.
class ProfileStore final {
public:
    static constexpr auto key = "profiles";

    explicit ProfileStore(DefaultsStore &store)
        : m_store(&store)
    {
    }

    // An undecodable document is reported and left as it is.
    QList<StoredProfile> loadAll() const;
    std::optional<StoredProfile> find(const QUuid &id) const;
    // Replaces the profile with the same id, or appends it.
    void save(const StoredProfile &profile);
    // Whether the profile was stored.
    bool remove(const QUuid &id);

private:
    QList<StoredProfile> loadForWriting();
    void write(const QList<StoredProfile> &profiles);

    DefaultsStore *m_store;
};
