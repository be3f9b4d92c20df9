#include "app/settings/domainlistviewmodel.h"
#include "app/settings/routingsettingsviewmodel.h"
#include "appfixture.h"
#include "testregistry.h"

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(DomainListViewModel::ListType)

namespace {

QList<GeoIPRegion> regions(const QStringList &labels)
{
    QList<GeoIPRegion> result;
    for (const QString &label : labels)
        result.append({ label, u"."_s + label.left(2).toLower() });
    return result;
}

const QList<GeoIPRegion> &testCatalogue()
{
    static const QList<GeoIPRegion> catalogue { { u"China"_s, u".cn"_s }, { u"Japan"_s, u".jp"_s },
        { u"Japan"_s, u".jp-second"_s } };
    return catalogue;
}

QList<DomainItem> &listOf(AppSettings &settings, DomainListViewModel::ListType type)
{
    using ListType = DomainListViewModel::ListType;
    return type == ListType::direct ? settings.routing.directDomains
        : type == ListType::proxy   ? settings.routing.proxyDomains
                                    : settings.routing.blockDomains;
}

} // namespace

class RoutingEditorsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addRegion_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QList<GeoIPRegion>>("expected");
        const GeoIPRegion china { u"China"_s, u".cn"_s };
        QTest::newRow("new label, first of duplicates")
            << u"Japan"_s << QList<GeoIPRegion> { china, { u"Japan"_s, u".jp"_s } };
        QTest::newRow("already listed") << u"China"_s << QList<GeoIPRegion> { china };
        QTest::newRow("not in the catalogue") << u"Atlantis"_s << QList<GeoIPRegion> { china };
        QTest::newRow("empty label") << QString() << QList<GeoIPRegion> { china };
    }

    void addRegion()
    {
        QFETCH(QString, label);
        QFETCH(QList<GeoIPRegion>, expected);
        AppFixture fixture(VPNStatus::disconnected);
        RoutingSettingsViewModel model(*fixture.app, *fixture.scheduler, testCatalogue);
        model.addRegion(label);
        QCOMPARE(model.regions(), expected);
        QCOMPARE(AppSettings::load(fixture.store).geoIP.regions, expected);
    }

    void removeSelectedRegion()
    {
        AppFixture fixture(VPNStatus::disconnected);
        AppSettings settings = fixture.app->settings();
        settings.geoIP.regions = regions({ u"China"_s, u"Japan"_s, u"China"_s });
        fixture.app->setSettings(settings);
        RoutingSettingsViewModel model(*fixture.app, *fixture.scheduler, testCatalogue);
        model.setSelectedRegion(u"China"_s);
        model.removeSelectedRegion();
        QCOMPARE(model.regions(), regions({ u"Japan"_s }));
        QCOMPARE(AppSettings::load(fixture.store).geoIP.regions, regions({ u"Japan"_s }));
        QVERIFY(model.selectedRegion().isEmpty());
        // The default China region, removed, comes back from the shipped catalogue.
        RoutingSettingsViewModel shipped(*fixture.app, *fixture.scheduler);
        shipped.addRegion(u"China"_s);
        QCOMPARE(fixture.app->settings().geoIP.regions.last(), (GeoIPRegion { u"China"_s, u".cn"_s }));
    }

    void geoIPSwitchRestartsTheBackendOnce()
    {
        AppFixture fixture;
        RoutingSettingsViewModel model(*fixture.app, *fixture.scheduler, testCatalogue);
        model.setIsEnabled(true);
        model.addRegion(u"Japan"_s);
        const auto operations = fixture.finishFlush();
        QCOMPARE(operations.size(), 1);
        QCOMPARE(operations.first().name, u"changeServer"_s);
        QVERIFY(operations.first().settings.geoIP.isEnabled);
        QCOMPARE(operations.first().settings.geoIP.regions.size(), 2);
        QVERIFY(AppSettings::load(fixture.store).geoIP.isEnabled);
    }

    void addItemKeepsOneEmptyRow()
    {
        AppFixture fixture(VPNStatus::disconnected);
        DomainListViewModel model(*fixture.app, *fixture.scheduler, DomainListViewModel::ListType::direct);
        model.addItem();
        QList<DomainItem> rows = model.domains();
        rows.first().domain = u"example.com"_s;
        rows.append(DomainItem { QString(), DomainRuleType::fullDomain });
        model.setDomains(rows);
        const DomainItem added = model.addItem();
        QCOMPARE(added.type, DomainRuleType::rootDomain);
        QVERIFY(added.domain.isEmpty());
        QCOMPARE(model.domains().size(), 2);
        QCOMPARE(model.domains().first().domain, u"example.com"_s);
        QCOMPARE(model.domains().last().id, added.id);
        // Nothing is stored until the list is saved.
        QVERIFY(fixture.app->settings().routing.directDomains.isEmpty());
    }

    void saveDomains_data()
    {
        QTest::addColumn<DomainListViewModel::ListType>("type");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QStringList>("stored");
        using ListType = DomainListViewModel::ListType;
        QTest::newRow("https prefix") << ListType::direct << QStringList { u"https://example.com"_s }
                                      << QStringList { u"example.com"_s };
        QTest::newRow("http prefix") << ListType::block << QStringList { u"http://ads.example/x"_s }
                                     << QStringList { u"ads.example/x"_s };
        QTest::newRow("https then http") << ListType::proxy << QStringList { u"https://http://a.io"_s }
                                         << QStringList { u"a.io"_s };
        QTest::newRow("http then https keeps https")
            << ListType::direct << QStringList { u"http://https://a.io"_s } << QStringList { u"https://a.io"_s };
        QTest::newRow("case-sensitive") << ListType::direct << QStringList { u"HTTPS://A.io"_s }
                                        << QStringList { u"HTTPS://A.io"_s };
        QTest::newRow("empty dropped, spaces and duplicates kept")
            << ListType::block << QStringList { QString(), u" "_s, u"a.io"_s, u"a.io"_s }
            << QStringList { u" "_s, u"a.io"_s, u"a.io"_s };
    }

    void saveDomains()
    {
        QFETCH(DomainListViewModel::ListType, type);
        QFETCH(QStringList, typed);
        QFETCH(QStringList, stored);
        AppFixture fixture(VPNStatus::disconnected);
        DomainListViewModel model(*fixture.app, *fixture.scheduler, type);
        QList<DomainItem> rows;
        for (const QString &domain : typed)
            rows.append(DomainItem { domain, DomainRuleType::fullDomain });
        model.setDomains(rows);
        model.saveDomains();

        AppSettings loaded = AppSettings::load(fixture.store);
        QStringList storedDomains;
        for (const DomainItem &item : listOf(loaded, type))
            storedDomains.append(item.domain);
        QCOMPARE(storedDomains, stored);
        // The rows being edited keep what was typed.
        QCOMPARE(model.domains(), rows);
        // Only the edited list changed.
        AppSettings expected;
        AppSettings current = fixture.app->settings();
        listOf(current, type).clear();
        QCOMPARE(current, expected);
        // A new editor starts from the stored list.
        QCOMPARE(DomainListViewModel(*fixture.app, *fixture.scheduler, type).domains().size(), stored.size());
    }

    void removedRowsAreStoredOnlyOnSave()
    {
        AppFixture fixture(VPNStatus::disconnected);
        AppSettings settings = fixture.app->settings();
        settings.routing.blockDomains = { DomainItem { u"a.io"_s }, DomainItem { u"b.io"_s } };
        fixture.app->setSettings(settings);
        DomainListViewModel model(*fixture.app, *fixture.scheduler, DomainListViewModel::ListType::block);
        model.removeItems({ model.domains().first().id });
        QCOMPARE(fixture.app->settings().routing.blockDomains.size(), 2);
        model.saveDomains();
        QCOMPARE(fixture.app->settings().routing.blockDomains.size(), 1);
        QCOMPARE(AppSettings::load(fixture.store).routing.blockDomains.first().domain, u"b.io"_s);
    }
};

WRENLOW_TEST(RoutingEditorsTest)
#include "tst_routingeditors.moc"
