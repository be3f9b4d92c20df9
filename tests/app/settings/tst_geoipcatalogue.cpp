#include "app/settings/geoipcatalogue.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class GeoIPCatalogueTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void shippedCatalogue()
    {
        const QList<GeoIPRegion> catalogue = loadCatalogue();
        QVERIFY(catalogue.size() > 200);
        QVERIFY(catalogue.contains(GeoIPRegion { u"China"_s, u".cn"_s }));
        QVERIFY(catalogue.contains(GeoIPRegion { u"United Kingdom"_s, u".uk"_s }));
        QSet<QString> labels;
        QSet<QString> values;
        for (const GeoIPRegion &region : catalogue) {
            labels.insert(region.label);
            values.insert(region.value);
            QVERIFY2(region.value.size() == 3 && region.value.startsWith(u'.'), qPrintable(region.value));
        }
        QCOMPARE(labels.size(), catalogue.size());
        QCOMPARE(values.size(), catalogue.size());
        QCOMPARE(&geoIPCatalogue(), &geoIPCatalogue());
        QCOMPARE(geoIPCatalogue(), catalogue);
    }

    void files_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty list") << R"({"countries": []})"_ba << 0 << QString();
        QTest::newRow("extra keys ignored")
            << R"({"countries": [{"label": "Chile", "value": ".cl", "flag": 1}], "v": 2})"_ba << 1 << QString();
        QTest::newRow("element lacks value")
            << R"({"countries": [{"label": "Chile", "value": ".cl"}, {"label": "Peru"}]})"_ba << 0
            << u"GeoIP: cannot decode data: "_s;
        QTest::newRow("value not a string")
            << R"({"countries": [{"label": "Chile", "value": 5}]})"_ba << 0 << u"GeoIP: cannot decode data: "_s;
        QTest::newRow("no countries key") << R"({"regions": []})"_ba << 0 << u"GeoIP: cannot decode data: "_s;
        QTest::newRow("not JSON") << "countries"_ba << 0 << u"GeoIP: cannot decode data: "_s;
    }

    void files()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, count);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"countries-by-tld.json"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
        if (!error.isEmpty())
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^"_s + QRegularExpression::escape(error)));
        QCOMPARE(loadCatalogue(path).size(), count);
    }

    void missingFileIsLogged()
    {
        QTemporaryDir dir;
        expectLog(QtCriticalMsg, u"GeoIP: Error loading countries from JSON"_s);
        QVERIFY(loadCatalogue(dir.filePath(u"absent.json"_s)).isEmpty());
    }
};

WRENLOW_TEST(GeoIPCatalogueTest)
#include "tst_geoipcatalogue.moc"
