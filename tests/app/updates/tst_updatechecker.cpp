#include "app/updates/updatechecker.h"
#include "httpserver.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

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
        using Kind = UpdateCheckResult::Kind;
        const auto feed = [](const char *tag, const char *json, Kind kind = Kind::failure, const char *version = "") {
            QTest::newRow(tag) << TestHttpServer::Response { 200, QByteArray(json) } << kind
                               << QString::fromLatin1(version);
        };
        feed(
            "newer", "{\"version\": \"1.10.0\", \"url\": \"https://wrenlow.example/download\"}", Kind::newer, "1.10.0");
        feed("same", "{\"version\": \"1.9.2\", \"url\": \"https://wrenlow.example/download\"}", Kind::current, "1.9.2");
        feed(
            "older", "{\"version\": \"1.9.1\", \"url\": \"https://wrenlow.example/download\"}", Kind::current, "1.9.1");
        feed("not JSON", "<html>");
        feed("no page", "{\"version\": \"2.0\"}");
        feed("version not text", "{\"version\": 2, \"url\": \"https://wrenlow.example/\"}");
        // The page goes to the desktop's opener: nothing but a web page may be.
        feed("page not on the web", "{\"version\": \"2.0\", \"url\": \"file:///etc/passwd\"}");
        QTest::newRow("not found") << TestHttpServer::Response { 404, "gone" } << Kind::failure << QString();
        TestHttpServer::Response silent;
        silent.announced = 100;
        QTest::newRow("no answer") << silent << Kind::failure << QString();
    }

    // The outcome of one check against the feed, and the command disabled while it runs.
    void check()
    {
        QFETCH(TestHttpServer::Response, answer);
        QFETCH(UpdateCheckResult::Kind, kind);
        QFETCH(QString, version);
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
        // Only a newer version brings its page.
        QCOMPARE(result.page,
            QUrl(kind == UpdateCheckResult::Kind::newer ? u"https://wrenlow.example/download"_s : QString()));
        QCOMPARE(result.failure.isEmpty(), kind != UpdateCheckResult::Kind::failure);
    }
};

WRENLOW_TEST(UpdateCheckerTest)
#include "tst_updatechecker.moc"
