#include "app/application/wrenlowapp.h"
#include "app/tunnel/systemextensionmanager.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class WrenlowAppTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<FakeTunnelPlatform> m_fake;

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
        m_fake = std::make_unique<FakeTunnelPlatform>();
    }

    void activationLoadsProfileThenConnects_data()
    {
        QTest::addColumn<bool>("connectOnStart");
        // The catalogue is decoded in the background and the activation succeeds before it is in place.
        QTest::addColumn<bool>("catalogueLate");
        QTest::addColumn<int>("starts");
        QTest::addColumn<VPNStatus>("status");

        // The fake tunnel is asked to start and stays disconnected.
        QTest::newRow("no connect on start") << false << false << 0 << VPNStatus::invalid;
        QTest::newRow("catalogue in place late") << true << true << 1 << VPNStatus::disconnected;
    }

    // As the program starts: nothing touches the tunnel until the activation succeeds; then the
    // profile loads and the connect-on-start server is connected to. The startup suite finds a
    // running tunnel and connects on start with the real program.
    void activationLoadsProfileThenConnects()
    {
        QFETCH(bool, connectOnStart);
        QFETCH(bool, catalogueLate);
        QFETCH(int, starts);
        QFETCH(VPNStatus, status);

        // One selected manual server, stored the way the program stores it.
        GroupCollection(*m_store).addServer(makeTestServer(u"Office"_s));
        AppSettings settings;
        settings.general.connectOnStart = connectOnStart;
        settings.save(*m_store);
        WrenlowApp app(*m_store, *m_fake,
            catalogueLate ? WrenlowApp::CatalogueLoading::inBackground : WrenlowApp::CatalogueLoading::beforeReturning);
        FakeExtensionActivation activation;
        SystemExtensionManager extensions(activation, [&app] { app.loadTunnelProfile(); });
        if (starts > 0)
            expectLog(QtInfoMsg, u"Starting VPN..."_s);
        if (catalogueLate) {
            // No event has been delivered yet, so the catalogue cannot be in place.
            QVERIFY(!app.isCatalogueLoaded());
            app.loadTunnelProfile();
            // Deferred until the catalogue is in place, which the event loop brings.
            QCOMPARE(app.vpn().status(), VPNStatus::invalid);
        }
        QCoreApplication::processEvents();
        extensions.activate();
        QCoreApplication::processEvents();
        if (!catalogueLate)
            QCOMPARE(app.vpn().status(), VPNStatus::invalid);

        Q_EMIT activation.finished(0);
        QTRY_COMPARE(m_fake->startsEverywhere(), starts);
        QTRY_COMPARE(app.vpn().status(), status);
        QVERIFY(!app.vpn().autoconnect());
        QCOMPARE(&WrenlowApp::shared(), &app);
    }
};

WRENLOW_TEST(WrenlowAppTest)
#include "tst_wrenlowapp.moc"
