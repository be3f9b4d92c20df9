#include "app/updates/updatechecker.h"
#include "httpserver.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(UpdateCheckResult::Kind)
Q_DECLARE_METATYPE(TestHttpServer::Response)

class UpdateCheckerTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void compare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("numeric, not textual") << QStringLiteral("1.10") << QStringLiteral("1.9") << 1;
        QTest::newRow("equal") << QStringLiteral("2.0.1") << QStringLiteral("2.0.1") << 0;
        QTest::newRow("missing component is zero") << QStringLiteral("1.2") << QStringLiteral("1.2.0") << 0;
        QTest::newRow("longer is newer") << QStringLiteral("1.2") << QStringLiteral("1.2.1") << -1;
        QTest::newRow("leading v and suffix") << QStringLiteral("v0.10.0-beta") << QStringLiteral("0.9.9") << 1;
        QTest::newRow("major wins") << QStringLiteral("1.0") << QStringLiteral("0.99.99") << 1;
    }

    void compare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(compareVersions(a, b), order);
        QCOMPARE(compareVersions(b, a), -order);
    }

    void availability_data()
    {
        QTest::addColumn<QUrl>("feed");
        QTest::addColumn<bool>("allowHttp");
        QTest::addColumn<bool>("can");
        QTest::newRow("no feed built in") << QUrl() << false << false;
        QTest::newRow("https") << QUrl(QStringLiteral("https://updates.example/feed.json")) << false << true;
        QTest::newRow("plain http in the program")
            << QUrl(QStringLiteral("http://127.0.0.1:9/feed.json")) << false << false;
        QTest::newRow("plain http in tests") << QUrl(QStringLiteral("http://127.0.0.1:9/feed.json")) << true << true;
        QTest::newRow("not a web address") << QUrl(QStringLiteral("file:///tmp/feed.json")) << true << false;
    }

    // Without a usable feed the command stays disabled and asking for a check does nothing.
    void availability()
    {
        QFETCH(QUrl, feed);
        QFETCH(bool, allowHttp);
        QFETCH(bool, can);
        UpdateChecker checker(feed, QStringLiteral("1.0.0"),
            allowHttp ? UpdateChecker::FeedSchemes::httpAllowed : UpdateChecker::FeedSchemes::httpsOnly);
        QCOMPARE(checker.canCheckForUpdates(), can);
        if (can)
            return;
        QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
        QSignalSpy changed(&checker, &UpdateChecker::canCheckForUpdatesChanged);
        checker.checkForUpdates();
        QCoreApplication::processEvents();
        QCOMPARE(finished.count(), 0);
        QCOMPARE(changed.count(), 0);
    }

    void check_data()
    {
        QTest::addColumn<TestHttpServer::Response>("answer");
        QTest::addColumn<UpdateCheckResult::Kind>("kind");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QUrl>("page");
        const auto feed = [](const char *json) { return TestHttpServer::Response { 200, QByteArray(json) }; };
        const QUrl download(QStringLiteral("https://wrenlow.example/download"));
        QTest::newRow("newer") << feed("{\"version\": \"1.10.0\", \"url\": \"https://wrenlow.example/download\"}")
                               << UpdateCheckResult::Kind::newer << QStringLiteral("1.10.0") << download;
        QTest::newRow("same") << feed("{\"version\": \"1.9.2\", \"url\": \"https://wrenlow.example/download\"}")
                              << UpdateCheckResult::Kind::current << QStringLiteral("1.9.2") << QUrl();
        QTest::newRow("older") << feed("{\"version\": \"1.9.1\", \"url\": \"https://wrenlow.example/download\"}")
                               << UpdateCheckResult::Kind::current << QStringLiteral("1.9.1") << QUrl();
        QTest::newRow("not found") << TestHttpServer::Response { 404, "gone" } << UpdateCheckResult::Kind::failure
                                   << QString() << QUrl();
        QTest::newRow("not JSON") << feed("<html>") << UpdateCheckResult::Kind::failure << QString() << QUrl();
        QTest::newRow("no page") << feed("{\"version\": \"2.0\"}") << UpdateCheckResult::Kind::failure << QString()
                                 << QUrl();
        QTest::newRow("version not text") << feed("{\"version\": 2, \"url\": \"https://wrenlow.example/\"}")
                                          << UpdateCheckResult::Kind::failure << QString() << QUrl();
        // The page goes to the desktop's opener: nothing but a web page may be.
        QTest::newRow("page not on the web") << feed("{\"version\": \"2.0\", \"url\": \"file:///etc/passwd\"}")
                                             << UpdateCheckResult::Kind::failure << QString() << QUrl();
        TestHttpServer::Response silent;
        silent.announced = 100;
        QTest::newRow("no answer") << silent << UpdateCheckResult::Kind::failure << QString() << QUrl();
    }

    // The outcome of one check against the feed, and the command disabled while it runs.
    void check()
    {
        QFETCH(TestHttpServer::Response, answer);
        QFETCH(UpdateCheckResult::Kind, kind);
        QFETCH(QString, version);
        QFETCH(QUrl, page);
        TestHttpServer server;
        QVERIFY(server.start());
        server.route("/feed.json", answer);
        UpdateChecker checker(
            server.url(QStringLiteral("/feed.json")), QStringLiteral("1.9.2"), UpdateChecker::FeedSchemes::httpAllowed);
        checker.setTimeout(500ms);
        QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
        checker.checkForUpdates();
        QVERIFY(!checker.canCheckForUpdates());
        // A second request while one runs is not a second check.
        checker.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QVERIFY(checker.canCheckForUpdates());
        QCOMPARE(server.hits("/feed.json"), 1);
        const auto result = finished.first().first().value<UpdateCheckResult>();
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.version, version);
        QCOMPARE(result.page, page);
        QCOMPARE(result.failure.isEmpty(), kind != UpdateCheckResult::Kind::failure);
    }
};

WRENLOW_TEST(UpdateCheckerTest)
#include "tst_updatechecker.moc"
