#include "core/settings/appsettings.h"

#include "core/foundation/defaultsstore.h"
#include "core/foundation/log.h"
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
    // An unreadable file is logged and reported by the store, which also refuses to replace it.
    const StoredValue value = store.read(storageKey);
    if (value.state != StoredValue::State::present)
        return {};
    // The defaults serve; the stored bytes stay as they are until the next save replaces them, and
    // a copy, which the store tells the user of, outlives that save.
    try {
        return decodeAppSettings(json::parse(value.bytes));
    } catch (const DecodingError &) {
        const auto copy = store.preserveUnreadable(storageKey);
        logError(QStringLiteral("The stored settings do not decode; using the defaults (copy: %1)")
                     .arg(copy.value_or(QStringLiteral("none"))));
        return {};
    }
}

bool AppSettings::save(DefaultsStore &store) const
{
    QByteArray bytes;
    try {
        bytes = json::serialize(encodeAppSettings(*this));
    } catch (const DecodingError &) {
        // Nothing sensible to store; the previous document is better than a broken one.
        logError(QStringLiteral("The settings cannot be encoded; the stored ones stay"));
        return false;
    }
    // A failure is reported to the user by the store's observer; the settings stay in memory and
    // the next change stores them whole again.
    return store.setData(storageKey, bytes);
}
