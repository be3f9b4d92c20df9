#include "core/settings/appsettings.h"

#include "core/foundation/defaultsstore.h"
#include "core/settings/appsettingsjson.h"

#include <QHashFunctions>

namespace {

const QString storageKey = QStringLiteral("settings");

} // namespace

size_t qHash(const GeoIPRegion &region, size_t seed)
{
    return qHashMulti(seed, region.label, region.value);
}

AppSettings AppSettings::load(DefaultsStore &store)
{
    const auto bytes = store.data(storageKey);
    if (!bytes)
        return {};
    // Unreadable settings are not worth bothering the user about: the defaults serve, and the
    // stored bytes stay as they are until the next save replaces them; a copy outlives that save.
    try {
        return decodeAppSettings(json::parse(*bytes));
    } catch (const DecodingError &) {
        store.preserveUnreadable(storageKey);
        return {};
    }
}

void AppSettings::save(DefaultsStore &store) const
{
    QByteArray bytes;
    try {
        bytes = json::serialize(encodeAppSettings(*this));
    } catch (const DecodingError &) {
        // Nothing sensible to store; the previous document is better than a broken one.
        return;
    }
    store.setData(storageKey, bytes);
}
