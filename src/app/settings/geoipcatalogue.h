#pragma once

#include "core/settings/appsettings.h"

#include <QList>
#include <QString>

// The regions the user can pick for GeoIP routing, from the JSON resource
// ":/geoip/countries-by-tld.json" ({"countries": [{"label": ..., "value": ...}, ...]}).

// The resource's path.
QString catalogueResourcePath();

// The regions of the file at `path`, in its order. A missing or unreadable file, or one whose data
// does not decode, is logged and gives no regions at all.
QList<GeoIPRegion> loadCatalogue(const QString &path = catalogueResourcePath());

// The process's catalogue: loaded on first use and never again, even when it came out empty.
const QList<GeoIPRegion> &geoIPCatalogue();
