#include "app/application/orderlyquit.h"
#include "app/application/storageproblems.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/groupcollectionjson.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "golden.h"
#include "testregistry.h"

#include <QDir>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

// Large enough that its save takes a while.
ServerGroupPtr bigSubscription()
{
    QStringList names;
    for (int i = 0; i < 2500; ++i)
        names.append(u"s%1"_s.arg(i));
    return makeTestSubscription(u"big"_s, names);
}

QString selectedName(const GroupCollection &groups)
{
    return groups.selectedServer() ? groups.selectedServer()->name() : QString();
}

// Manual server names, then one list of server names per subscription.
void fill(GroupCollection &groups, const QStringList &manual, const QList<QStringList> &subscriptions)
{
    for (int i = 0; i < subscriptions.size(); ++i)
        groups.addSubscription(makeTestSubscription(u"sub%1"_s.arg(i), subscriptions[i]));
    for (const auto &name : manual)
        groups.addServer(makeTestServer(name));
}

// A write cut short by the file-size limit, as on a full disk, while `change` runs.
template <typename Change> void onFullDisk(Change change)
{
    rlimit saved {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^Cannot write "_s));
    change();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
}

} // namespace

class GroupCollectionTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;

    QByteArray stored() const { return m_store->data(u"groups"_s).value_or(QByteArray()); }

    // Keeps the store's writer busy until the gate opens, so whatever is queued behind cannot land
    // yet; `busy` stays true until then. Shared with the writer thread, which may outlive the test.
    std::pair<std::shared_ptr<QSemaphore>, std::shared_ptr<std::atomic<bool>>> holdWriter()
    {
        auto gate = std::make_shared<QSemaphore>();
        auto busy = std::make_shared<std::atomic<bool>>(true);
        m_store->setDataLater(u"other"_s, [gate, busy]() -> std::optional<QByteArray> {
            gate->tryAcquire(1, 10000);
            *busy = false;
            return QByteArray("{}");
        });
        return { gate, busy };
    }

    // The single copy kept of an unreadable catalogue, which must hold `bytes`.
    void checkUnreadableCopy(const QByteArray &bytes)
    {
        const QStringList copies = QDir(m_store->directory()).entryList({ u"groups.unreadable-*.json"_s });
        QCOMPARE(copies.size(), 1);
        QFile copy(QDir(m_store->directory()).filePath(copies.first()));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), bytes);
    }

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
    }

    // Losing the selected server falls back to the manual group first, then the first non-empty subscription.
    void removingSelectedServer_data()
    {
        QTest::addColumn<QStringList>("manual");
        QTest::addColumn<QList<QStringList>>("subscriptions");
        QTest::addColumn<QString>("selected");
        QTest::newRow("next manual server")
            << QStringList { u"a"_s, u"b"_s } << QList<QStringList> { { u"c"_s } } << u"b"_s;
        QTest::newRow("first non-empty subscription")
            << QStringList { u"a"_s } << QList<QStringList> { {}, { u"c"_s, u"d"_s } } << u"c"_s;
        QTest::newRow("nothing left") << QStringList { u"a"_s } << QList<QStringList> { {} } << QString();
    }

    void removingSelectedServer()
    {
        QFETCH(QStringList, manual);
        QFETCH(QList<QStringList>, subscriptions);
        QFETCH(QString, selected);
        const auto groups = GroupCollection::load(*m_store);
        fill(*groups, manual, subscriptions);
        const ServerPtr first = groups->manualGroup()->servers().first();
        groups->setSelectedServer(first);
        groups->removeServer(*first);
        QCOMPARE(selectedName(*groups), selected);
        QCOMPARE(selectedName(*GroupCollection::load(*m_store)), selected);
    }

    // A first start is empty and writes nothing; a subscription without servers still counts.
    void firstStartThenSearchOrder()
    {
        const auto groups = GroupCollection::load(*m_store);
        QVERIFY(groups->isEmpty());
        QVERIFY(!m_store->data(u"groups"_s));
        groups->addSubscription(makeTestSubscription(u"empty"_s, {}));
        QVERIFY(!groups->isEmpty());
        QVERIFY(!groups->selectedServer());
        fill(*groups, { u"m1"_s }, { { u"s1"_s, u"s2"_s }, { u"t1"_s } });
        QCOMPARE(names(groups->allServers()), (QStringList { u"s1"_s, u"s2"_s, u"t1"_s, u"m1"_s }));
        // the first subscription with servers had its first server selected when it arrived
        QCOMPARE(selectedName(*GroupCollection::load(*m_store)), u"s1"_s);
        groups->setSelectedServer(nullptr);
        groups->selectDefaultServer();
        QCOMPARE(selectedName(*groups), u"m1"_s);
        // Subscription servers are never removed one by one.
        const ServerPtr shared = groups->subscriptions()[1]->servers().first();
        groups->removeServer(*shared);
        QCOMPARE(groups->allServers().size(), 4);
    }

    // Everything stored comes back, in the exact form earlier and later versions read: ids, names,
    // types, dates, order and the selection.
    void storedFormRoundTrip()
    {
        const QString file = u"app/catalogue/golden/groups"_s;
        const QByteArray document = golden(file);
        QVERIFY(m_store->setData(u"groups"_s, document));
        const auto groups = GroupCollection::load(*m_store);
        QCOMPARE(json::serialize(encodeGroupCollection(*groups)), golden(file, encodeGroupCollection(*groups)));
        groups->save();
        QCOMPARE(stored(), document);

        // A stored selection that cannot be resolved is repaired by the default rule and saved at once.
        Json unresolved = json::parse(document);
        unresolved["selectedServerId"] = "99999999-0000-0000-0000-000000000000";
        QVERIFY(m_store->setData(u"groups"_s, json::serialize(unresolved)));
        const auto repaired = GroupCollection::load(*m_store);
        QCOMPARE(selectedName(*repaired), u"n"_s);
        const QByteArray id = repaired->selectedServer()->id().toString(QUuid::WithoutBraces).toUpper().toLatin1();
        QVERIFY(stored().contains(QByteArray("\"selectedServerId\":\"").append(id)));
    }

    // Unreadable documents give a fresh catalogue; the file stays as it was and a copy survives the next save.
    void unreadableDocumentFallsBack_data()
    {
        QTest::addColumn<QByteArray>("document");
        const QByteArray manual(R"("manualGroup":{"type":{"manual":{}},"servers":[],)"
                                R"("id":"AAAAAAAA-0000-0000-0000-000000000000","lastUpdated":0})");
        const QByteArray subscription(R"("subscription":{"name":"a","url":"b","autoUpdate":true}})");
        QTest::newRow("not json") << QByteArray("not json");
        QTest::newRow("type with both cases") << R"({"subscriptions":[],)"
                + QByteArray(manual).replace(R"("manual":{}})", QByteArray(R"("manual":{},)" + subscription)) + '}';
        QTest::newRow("manual group of subscription kind")
            << R"({"subscriptions":[],)" + QByteArray(manual).replace(R"("manual":{}})", subscription) + '}';
    }

    void unreadableDocumentFallsBack()
    {
        QFETCH(QByteArray, document);
        QVERIFY(m_store->setData(u"groups"_s, document));
        StorageProblems problems(*m_store);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^The stored catalogue does not decode"_s));
        const auto groups = GroupCollection::load(*m_store);
        QVERIFY(groups->isEmpty());
        QCOMPARE(stored(), document);

        groups->addServer(makeTestServer(u"new"_s));
        QVERIFY(stored().contains("\"new\""));
        checkUnreadableCopy(document);
        // The user hears of it once, with where the copy is.
        QTRY_COMPARE(problems.reported().size(), 1);
        QVERIFY(problems.reported().first().contains(u".unreadable-"_s));
    }

    // A catalogue that exists but cannot be read (here a directory is in the way) is neither taken
    // for absent nor replaced; once it can be read again, the next save keeps a copy of it first.
    void unreadableFileIsKeptNotReplaced()
    {
        GroupCollection::load(*m_store)->addServer(makeTestServer(u"old"_s));
        const QString path = m_store->filePath(u"groups"_s);
        const QByteArray before = stored();
        QVERIFY(QFile::rename(path, path + u".moved"_s));
        QVERIFY(QDir().mkdir(path));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^Cannot read .*groups\\.json"_s));
        const auto groups = GroupCollection::load(*m_store);
        QVERIFY(groups->isEmpty());
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^Cannot write .*groups\\.json"_s));
        groups->addServer(makeTestServer(u"new"_s));
        QVERIFY(QDir().rmdir(path));
        QVERIFY(QFile::rename(path + u".moved"_s, path));
        QCOMPARE(stored(), before);

        groups->addServer(makeTestServer(u"later"_s));
        QCOMPARE(names(GroupCollection::load(*m_store)->allServers()), (QStringList { u"new"_s, u"later"_s }));
        checkUnreadableCopy(before);
    }

    // A failed save keeps the catalogue in memory, is retried by the next change and is told to the
    // user once per streak of failures.
    void failedSavesAreReportedOncePerStreak()
    {
        StorageProblems problems(*m_store);
        const auto groups = GroupCollection::load(*m_store);
        groups->addServer(makeTestServer(u"a"_s));
        onFullDisk([&] { groups->addServer(makeTestServer(u"b"_s)); });
        onFullDisk([&] { groups->addServer(makeTestServer(u"c"_s)); });
        QTRY_VERIFY(!problems.reported().isEmpty());
        QCoreApplication::sendPostedEvents();
        QCOMPARE(problems.reported().size(), 1);
        const QString message = problems.reported().first();
        QVERIFY2(message.startsWith(u"Wrenlow could not save your servers: File too large."_s)
                && message.endsWith(u"saving will be tried again."_s),
            qPrintable(message));
        QCOMPARE(names(GroupCollection::load(*m_store)->allServers()), QStringList { u"a"_s });

        groups->addServer(makeTestServer(u"d"_s));
        QCOMPARE(
            names(GroupCollection::load(*m_store)->allServers()), (QStringList { u"a"_s, u"b"_s, u"c"_s, u"d"_s }));
        onFullDisk([&] { groups->addServer(makeTestServer(u"e"_s)); });
        QTRY_COMPARE(problems.reported().size(), 2);
    }

    // A small save while a large write is still queued returns at once and lands after it; the
    // collection's end does not wait either: the store sees the writes through.
    void smallSaveDoesNotWaitForLargeWrite()
    {
        const auto [gate, busy] = holdWriter();
        auto groups = GroupCollection::load(*m_store);
        const auto big = bigSubscription();
        groups->addSubscription(big);
        groups->removeSubscriptions({ big->id() });
        groups->addServer(makeTestServer(u"small"_s));
        groups.reset();
        QVERIFY(*busy);
        QVERIFY(!m_store->data(u"groups"_s));

        gate->release();
        m_store->waitForPendingWrites();
        QCOMPARE(names(GroupCollection::load(*m_store)->allServers()), QStringList { u"small"_s });
    }

    // However the program is asked to quit, the event loop ends only after queued saves landed.
    void quitWaitsForQueuedSaves_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("quit from the menu or the session") << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }

    void quitWaitsForQueuedSaves()
    {
        QFETCH(int, signalNumber);
        const OrderlyQuit orderlyQuit(*m_store);
        const auto [gate, busy] = holdWriter();
        auto groups = GroupCollection::load(*m_store);
        groups->addSubscription(bigSubscription());

        // Timers end with this function, whatever its outcome.
        const QObject scope;
        QTimer::singleShot(0, &scope, [signalNumber] {
            if (signalNumber == 0)
                QCoreApplication::quit();
            else
                ::raise(signalNumber);
        });
        // The loop must still run to release the writer: a loop that quit at once never gets here.
        QTimer::singleShot(100, &scope, [gate] { gate->release(); });
        // Ends a loop that never quits, rather than hanging the suite.
        QTimer::singleShot(20000, &scope, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!*busy);
        QVERIFY(!m_store->hasPendingWrites());
        QCOMPARE(GroupCollection::load(*m_store)->allServers().size(), 2500);
    }
};

WRENLOW_TEST(GroupCollectionTest)
#include "tst_groupcollection.moc"
