#include "app/catalogue/catalogueitemmodel.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionusagestore.h"
#include "core/catalogue/subscriptionusage.h"
#include "core/foundation/defaultsstore.h"
#include "golden.h"
#include "httpserver.h"
#include "testregistry.h"

#include <QCoroTask>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr quint64 maximum = std::numeric_limits<quint64>::max();

} // namespace

// The usage figures a provider sends with a subscription: read from its header, kept apart from
// the catalogue, and shown in the subscription's heading.
class SubscriptionUsageTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Rows from a reviewed table: a header and its figures, upload, download, total and expiry
    // ("-": absent), or "none" when it gives none at all.
    void parse_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("usage");
        const Json table = goldenTable(u"core/catalogue/golden/usage-headers"_s);
        QVERIFY(!table.empty());
        for (const auto &[tag, row] : table.items())
            QTest::newRow(tag.c_str()) << json::toString(row.at(0)).toUtf8() << json::toString(row.at(1));
    }

    void parse()
    {
        QFETCH(QByteArray, header);
        QFETCH(QString, usage);
        const auto parsed = parseSubscriptionUserinfo(header);
        const auto figure = [](auto value) { return value ? QString::number(*value) : u"-"_s; };
        const SubscriptionUsage u = parsed.value_or(SubscriptionUsage {});
        const QStringList figures { figure(u.upload), figure(u.download), figure(u.total), figure(u.expire) };
        QCOMPARE(parsed ? figures.join(u' ') : u"none"_s, usage);
    }

    void amountText_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("text");
        QTest::newRow("used of total") << "upload=512; download=1536; total=10240"_ba << u"2 KB of 10 KB"_s;
        QTest::newRow("no limit") << "download=2048; total=0"_ba << u"2 KB used"_s;
        QTest::newRow("total only") << "total=1048576"_ba << u"1 MB"_s;
        QTest::newRow("huge total means no limit") << "download=2048; total=18446744073709551615"_ba << u"2 KB used"_s;
        QTest::newRow("sum beyond 64 bits") << "upload=18446744073709551615; download=1; total=2048"_ba << u"2 KB"_s;
        QTest::newRow("expiry only") << "expire=1798761600"_ba << QString();
    }

    void amountText()
    {
        QFETCH(QByteArray, header);
        QFETCH(QString, text);
        QCOMPARE(usageAmountText(*parseSubscriptionUserinfo(header)), text);
    }

    // Stored apart from the catalogue and read back the same; an entry that does not decode is
    // left out, the others stay.
    void storedAndReadBack()
    {
        QTemporaryDir dir;
        DefaultsStore store(dir.filePath(u"store"_s));
        {
            SubscriptionUsageStore usages(store);
            usages.record(u"https://a.example/s"_s, SubscriptionUsage { maximum, 0, {}, 1798761600 });
            usages.record(u"https://b.example/s"_s, SubscriptionUsage { {}, {}, 5, {} });
            usages.record(u"https://b.example/s"_s, std::nullopt);
        }
        QVERIFY(!store.data(u"groups"_s));
        SubscriptionUsageStore reread(store);
        QCOMPARE(reread.usage(u"https://a.example/s"_s), (SubscriptionUsage { maximum, 0, {}, 1798761600 }));
        QCOMPARE(reread.usage(u"https://b.example/s"_s), std::nullopt);

        QVERIFY(store.setData(u"subscriptionUsage"_s, R"({"x":{"upload":-1},"y":{"total":7},"z":3})"));
        const SubscriptionUsageStore partly(store);
        QCOMPARE(partly.usage(u"x"_s), std::nullopt);
        QCOMPARE(partly.usage(u"y"_s), (SubscriptionUsage { {}, {}, 7, {} }));
    }

    // A download served with the header records its figures, which the subscription's heading
    // shows; a later download without the header forgets them.
    void downloadRecordsAndHeadingShows()
    {
        TestHttpServer site;
        QVERIFY(site.start());
        TestHttpServer::Response served { 200, "vless://u@h:1#x\n" };
        served.headers = "subscription-userinfo: upload=1024; download=1024; total=10240\r\n";
        site.route("/sub", served);
        const QString url = site.url(u"/sub"_s).toString();

        QTemporaryDir dir;
        DefaultsStore store(dir.filePath(u"store"_s));
        SubscriptionUsageStore usages(store);
        GroupCollection groups(store);
        groups.addSubscription(std::make_shared<ServerGroup>(
            QUuid::createUuid(), SubscriptionType { u"Provider"_s, url, false }, QList<ServerPtr> {}, QDateTime()));
        CatalogueItemModel model(groups);
        model.setUsages(&usages);
        SubscriptionLoader loader;
        loader.setUsageSeen([&usages](const QString &seen, const std::optional<SubscriptionUsage> &usage) {
            usages.record(seen, usage);
        });

        QCOMPARE(QCoro::waitFor(loader.load(url)).size(), 1);
        QCOMPARE(model.index(0, 0).data(CatalogueItemModel::UsageRole).toString(), u"2 KB of 10 KB"_s);
        site.route("/sub", "vless://u@h:1#x\n"_ba);
        QCoro::waitFor(loader.load(url));
        QCOMPARE(model.index(0, 0).data(CatalogueItemModel::UsageRole).toString(), QString());
    }
};

WRENLOW_TEST(SubscriptionUsageTest)
#include "tst_subscriptionusage.moc"
