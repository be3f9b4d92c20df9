#include "app/application/wrenlowapp.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// What a key of the store holds before start-up.
enum class Stored { nothing, valid, unreadable };

} // namespace

Q_DECLARE_METATYPE(Stored)

class WrenlowAppTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<FakeTunnelPlatform> m_fake;

    // A catalogue with one selected manual server, stored the way the program stores it.
    void storeCatalogue(const QString &serverName)
    {
        GroupCollection groups(*m_store);
        groups.addServer(makeTestServer(serverName));
    }

    void storeSettings(bool connectOnStart)
    {
        AppSettings settings;
        settings.general.connectOnStart = connectOnStart;
        settings.save(*m_store);
    }

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
        m_fake = std::make_unique<FakeTunnelPlatform>();
    }

    void startupReadsStoredData_data()
    {
        QTest::addColumn<Stored>("groups");
        QTest::addColumn<Stored>("settings");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<bool>("connectOnStart");

        QTest::newRow("first start") << Stored::nothing << Stored::nothing << QString() << false;
        QTest::newRow("both stored") << Stored::valid << Stored::valid << u"Office"_s << true;
        QTest::newRow("unreadable catalogue") << Stored::unreadable << Stored::valid << QString() << true;
        QTest::newRow("unreadable settings") << Stored::valid << Stored::unreadable << u"Office"_s << false;
        QTest::newRow("both unreadable") << Stored::unreadable << Stored::unreadable << QString() << false;
    }

    void startupReadsStoredData()
    {
        QFETCH(Stored, groups);
        QFETCH(Stored, settings);
        QFETCH(QString, selected);
        QFETCH(bool, connectOnStart);

        if (groups == Stored::valid)
            storeCatalogue(u"Office"_s);
        else if (groups == Stored::unreadable)
            m_store->setData(u"groups"_s, "{\"manualGroup\": 12"_ba);
        if (settings == Stored::valid)
            storeSettings(true);
        else if (settings == Stored::unreadable)
            m_store->setData(u"settings"_s, "[]"_ba);

        WrenlowApp app(*m_store, *m_fake);
        const ServerPtr server = app.groups().selectedServer();
        QCOMPARE(server ? server->name() : QString(), selected);
        QCOMPARE(app.settings().general.connectOnStart, connectOnStart);
        // The VPN manager starts without a profile: nothing is loaded or written yet.
        QVERIFY(m_fake->made.isEmpty());
        QVERIFY(m_fake->saves.isEmpty());
    }

    void connectOnStartCheck_data()
    {
        QTest::addColumn<bool>("storedConnectOnStart");
        QTest::addColumn<bool>("enabledBeforeLoopRuns");
        QTest::addColumn<bool>("hasSelection");
        QTest::addColumn<QString>("autoconnect");

        // "earlier" is what the manager held before the check ran; the check leaves it when off.
        QTest::newRow("on, selected") << true << false << true << u"Office"_s;
        QTest::newRow("on, nothing selected") << true << false << false << QString();
        QTest::newRow("off") << false << false << true << u"earlier"_s;
        // The check reads the settings as they are when it runs, not at construction.
        QTest::newRow("turned on before the loop ran") << false << true << true << u"Office"_s;
    }

    void connectOnStartCheck()
    {
        QFETCH(bool, storedConnectOnStart);
        QFETCH(bool, enabledBeforeLoopRuns);
        QFETCH(bool, hasSelection);
        QFETCH(QString, autoconnect);

        if (hasSelection)
            storeCatalogue(u"Office"_s);
        storeSettings(storedConnectOnStart);

        WrenlowApp app(*m_store, *m_fake);
        // Queued: construction itself must not touch autoconnect.
        QVERIFY(!app.vpn().autoconnect());
        app.vpn().setAutoconnect(makeTestServer(u"earlier"_s));
        if (enabledBeforeLoopRuns) {
            AppSettings settings = app.settings();
            settings.general.connectOnStart = true;
            app.setSettings(settings);
        }

        QCoreApplication::processEvents();
        const ServerPtr server = app.vpn().autoconnect();
        QCOMPARE(server ? server->name() : QString(), autoconnect);
        if (hasSelection && !autoconnect.isEmpty() && autoconnect != u"earlier"_s)
            QCOMPARE(server, app.groups().selectedServer());
    }

    void connectWithoutSelectionReturnsAtOnce()
    {
        WrenlowApp app(*m_store, *m_fake);
        auto task = app.connect();
        QVERIFY(task.isReady());
        QVERIFY(m_fake->made.isEmpty());
        QVERIFY(m_fake->saves.isEmpty());
    }

    void connectStartsTheSelectedServer()
    {
        storeCatalogue(u"Office"_s);
        WrenlowApp app(*m_store, *m_fake);
        expectLog(QtInfoMsg, u"Starting VPN..."_s);
        QCOMPARE(failureOf(app.connect()), QString());
        QCOMPARE(m_fake->savedDescriptions(), QStringList { u"Office"_s });
        QCOMPARE(m_fake->startsEverywhere(), 1);
    }

    void failedConnectIsLoggedNotThrown()
    {
        storeCatalogue(u"Office"_s);
        WrenlowApp app(*m_store, *m_fake);
        m_fake->saveScript.failure = u"disk full"_s;
        expectLog(QtCriticalMsg, u"VPN Manager: Error saving VPN to preferences: disk full"_s);
        expectLog(QtCriticalMsg, u"Cannot enable VPN: disk full"_s);
        QCOMPARE(failureOf(app.connect()), QString());
        QCOMPARE(m_fake->startsEverywhere(), 0);
    }
};

WRENLOW_TEST(WrenlowAppTest)
#include "tst_wrenlowapp.moc"
