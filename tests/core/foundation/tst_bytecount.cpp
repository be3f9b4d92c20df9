#include "core/foundation/bytecount.h"
#include "testregistry.h"

#include <QTest>

#include <limits>

class ByteCountTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void format_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        constexpr qint64 tera = qint64(1) << 40;
        QTest::newRow("zero") << qint64(0) << QStringLiteral("0 B");
        QTest::newRow("just below a kilobyte") << qint64(1023) << QStringLiteral("1023 B");
        QTest::newRow("one kilobyte") << qint64(1024) << QStringLiteral("1 KB");
        QTest::newRow("fraction dropped") << qint64(1536) << QStringLiteral("1 KB");
        QTest::newRow("five megabytes") << qint64(5242880) << QStringLiteral("5 MB");
        QTest::newRow("just below a megabyte") << qint64(1048575) << QStringLiteral("1023 KB");
        // ln(1024^4) / ln(1024) falls just short of 4 in floating point.
        QTest::newRow("one terabyte") << tera << QStringLiteral("1 TB");
        QTest::newRow("largest unit reached") << tera * 1023 << QStringLiteral("1023 TB");
        QTest::newRow("beyond the units") << tera * 1024 << QString();
        QTest::newRow("largest count") << std::numeric_limits<qint64>::max() << QString();
        QTest::newRow("negative") << qint64(-1) << QString();
        QTest::newRow("most negative") << std::numeric_limits<qint64>::min() << QString();
    }

    void format()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatByteCount(bytes), text);
    }
};

WRENLOW_TEST(ByteCountTest)
#include "tst_bytecount.moc"
