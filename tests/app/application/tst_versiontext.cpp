#include "app/application/versiontext.h"
#include "testregistry.h"

#include <QTest>

using namespace Qt::StringLiterals;

class VersionTextTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void versionText_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("build");
        QTest::addColumn<QString>("text");
        QTest::newRow("both") << u"1.2"_s << u"45"_s << u"1.2 (Build: 45) - Standalone"_s;
        QTest::newRow("neither") << QString() << QString() << u"Unknown"_s;
        QTest::newRow("version only") << u"1.2"_s << QString() << u"1.2 - Standalone"_s;
        // The empty version comes first.
        QTest::newRow("build only") << QString() << u"45"_s << u" (Build: 45) - Standalone"_s;
    }

    void versionText()
    {
        QFETCH(QString, version);
        QFETCH(QString, build);
        QFETCH(QString, text);
        QCOMPARE(appVersionText(version, build), text);
    }
};

WRENLOW_TEST(VersionTextTest)
#include "tst_versiontext.moc"
