#include "app/settings/geoipcatalogue.h"

#include "core/foundation/jsoncoding.h"
#include "core/foundation/log.h"

#include <QFile>

// Resources of a static library are only linked in when something asks for them by name.
static void initCatalogueResource()
{
    Q_INIT_RESOURCE(geoip);
}

QString catalogueResourcePath()
{
    return QStringLiteral(":/geoip/countries-by-tld.json");
}

QList<GeoIPRegion> loadCatalogue(const QString &path)
{
    static const bool registered = (initCatalogueResource(), true);
    Q_UNUSED(registered);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        logError(QStringLiteral("GeoIP: Error loading countries from JSON"));
        return {};
    }
    const QByteArray data = file.readAll();
    try {
        const Json document = json::parse(data);
        QList<GeoIPRegion> regions;
        for (const Json &element : json::array(json::member(json::object(document), "countries"))) {
            const Json &region = json::object(element);
            regions.append(GeoIPRegion { json::stringAt(region, "label"), json::stringAt(region, "value") });
        }
        return regions;
    } catch (const Error &error) {
        logError(QStringLiteral("GeoIP: cannot decode data: ") + error.description());
        return {};
    }
}

const QList<GeoIPRegion> &geoIPCatalogue()
{
    static const QList<GeoIPRegion> catalogue = loadCatalogue();
    return catalogue;
}
