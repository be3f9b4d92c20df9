#include "engine/geoipranges.h"
#include "testregistry.h"

#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>

class GeoIPRangesTest final : public QObject {
    Q_OBJECT

    static quint32 v4(const char *text) { return QHostAddress(QString::fromLatin1(text)).toIPv4Address(); }

private Q_SLOTS:
    // The engine takes CIDR blocks; a range must be covered exactly, by the fewest blocks.
    void ipv4Blocks_data()
    {
        QTest::addColumn<quint32>("first");
        QTest::addColumn<quint32>("last");
        QTest::addColumn<QStringList>("blocks");
        QTest::newRow("one /24") << v4("1.0.1.0") << v4("1.0.1.255") << QStringList { QStringLiteral("1.0.1.0/24") };
        QTest::newRow("unaligned") << v4("1.0.1.0") << v4("1.0.3.255")
                                   << QStringList { QStringLiteral("1.0.1.0/24"), QStringLiteral("1.0.2.0/23") };
        QTest::newRow("single address") << v4("10.0.0.7") << v4("10.0.0.7")
                                        << QStringList { QStringLiteral("10.0.0.7/32") };
        QTest::newRow("odd edges") << v4("10.0.0.1") << v4("10.0.0.6")
                                   << QStringList { QStringLiteral("10.0.0.1/32"), QStringLiteral("10.0.0.2/31"),
                                          QStringLiteral("10.0.0.4/31"), QStringLiteral("10.0.0.6/32") };
        QTest::newRow("everything") << quint32(0) << quint32(0xffffffff) << QStringList { QStringLiteral("0.0.0.0/0") };
        QTest::newRow("top address") << quint32(0xffffffff) << quint32(0xffffffff)
                                     << QStringList { QStringLiteral("255.255.255.255/32") };
    }

    void ipv4Blocks()
    {
        QFETCH(quint32, first);
        QFETCH(quint32, last);
        QFETCH(QStringList, blocks);
        QCOMPARE(geoip::ipv4Blocks(first, last), blocks);
    }

    void ipv6Blocks()
    {
        using u128 = unsigned __int128;
        const u128 base = u128(0x2400320000000000ULL) << 64;
        QCOMPARE(
            geoip::ipv6Blocks(base, base + ((u128(1) << 96) - 1)), QStringList { QStringLiteral("2400:3200::/32") });
        QCOMPARE(geoip::ipv6Blocks(0, ~u128(0)), QStringList { QStringLiteral("::/0") });
    }

    void countryCodes_data()
    {
        QTest::addColumn<QString>("tld");
        QTest::addColumn<QString>("code");
        QTest::newRow("china") << QStringLiteral(".cn") << QStringLiteral("CN");
        QTest::newRow("britain") << QStringLiteral(".uk") << QStringLiteral("GB");
        QTest::newRow("no dot") << QStringLiteral("ru") << QStringLiteral("RU");
    }

    void countryCodes()
    {
        QFETCH(QString, tld);
        QFETCH(QString, code);
        QCOMPARE(geoip::countryCodeForTld(tld), code);
    }

    // Only the asked country's lines count; comments and malformed lines are skipped.
    void readsOneCountry()
    {
        QTemporaryDir dir;
        QFile v4File(dir.filePath(QStringLiteral("geoip")));
        QVERIFY(v4File.open(QIODevice::WriteOnly));
        v4File.write("# comment,CN\n16777472,16778239,CN\n16778240,16779263,AU\nbroken,CN\n33554432,16777216,CN\n");
        v4File.close();
        QFile v6File(dir.filePath(QStringLiteral("geoip6")));
        QVERIFY(v6File.open(QIODevice::WriteOnly));
        v6File.write(
            "2400:3200::,2400:3200:ffff:ffff:ffff:ffff:ffff:ffff,CN\n2001:2::,2001:2:0:ffff:ffff:ffff:ffff:ffff,JP\n");
        v6File.close();
        QCOMPARE(geoip::rangesFor(QStringLiteral("cn"), v4File.fileName(), v6File.fileName()),
            (QStringList {
                QStringLiteral("1.0.1.0/24"), QStringLiteral("1.0.2.0/23"), QStringLiteral("2400:3200::/32") }));
        QVERIFY(geoip::rangesFor(
            QStringLiteral("CN"), dir.filePath(QStringLiteral("missing")), dir.filePath(QStringLiteral("missing6")))
                    .isEmpty());
    }

    // The installed database has the default region's ranges.
    void installedDatabaseKnowsChina()
    {
        const QStringList ranges = geoip::rangesFor(QStringLiteral("CN"));
        QVERIFY(ranges.size() > 1000);
        QVERIFY(ranges.contains(QStringLiteral("1.0.1.0/24")));
    }
};

WRENLOW_TEST(GeoIPRangesTest)
#include "tst_geoipranges.moc"
