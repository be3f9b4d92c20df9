#include "app/application/orderlyquit.h"
#include "app/application/storageproblems.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/groupcollectionjson.h"
#include "core/foundation/defaultsstore.h"
#include "golden.h"
#include "testregistry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

ServerPtr makeServer(const QString &name)
{
    return std::make_shared<Server>(name,
        ShadowsockSettings {
            name + QStringLiteral(".example"), 8388, ShadowsocksCipher::aes256Gcm, QStringLiteral("pw") },
        false);
}

ServerGroupPtr makeSubscription(const QString &name, const QStringList &serverNames)
{
    QList<ServerPtr> servers;
    for (const auto &serverName : serverNames)
        servers.append(makeServer(serverName));
    return std::make_shared<ServerGroup>(SubscriptionType { name, QStringLiteral("https://") + name, true }, servers);
}

QStringList names(const QList<ServerPtr> &servers)
{
    QStringList result;
    for (const auto &server : servers)
        result.append(server->name());
    return result;
}

QString selectedName(const GroupCollection &groups)
{
    return groups.selectedServer() ? groups.selectedServer()->name() : QString();
}

// Layout of a catalogue for a table row: manual server names and subscription server names.
struct Layout {
    QStringList manual;
    QList<QStringList> subscriptions;
};

void fill(GroupCollection &groups, const Layout &layout)
{
    for (int i = 0; i < layout.subscriptions.size(); ++i)
        groups.addSubscription(makeSubscription(QStringLiteral("sub%1").arg(i), layout.subscriptions[i]));
    for (const auto &name : layout.manual)
        groups.addServer(makeServer(name));
}

// Root may read any file, so tests run as root would never see a read denied; without these two
// capabilities, for this thread only, it is refused like any user.
class WithoutFileAccessOverride final {
public:
    WithoutFileAccessOverride()
    {
        ::syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct reduced[2] = { m_saved[0], m_saved[1] };
        reduced[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
        ::syscall(SYS_capset, &m_header, reduced);
    }
    ~WithoutFileAccessOverride() { ::syscall(SYS_capset, &m_header, m_saved); }
    Q_DISABLE_COPY_MOVE(WithoutFileAccessOverride)

private:
    __user_cap_header_struct m_header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct m_saved[2] {};
};

QStringList bigNames(int count)
{
    QStringList result;
    for (int i = 0; i < count; ++i)
        result.append(QStringLiteral("s%1").arg(i));
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Layout)

class GroupCollectionTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;

    QString storedText() const
    {
        return QString::fromUtf8(m_store->data(QStringLiteral("groups")).value_or(QByteArray()));
    }

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(QStringLiteral("store")));
    }

    void firstStartIsEmptyAndWritesNothing()
    {
        const auto groups = GroupCollection::load(*m_store);
        QVERIFY(groups->isEmpty());
        QVERIFY(groups->subscriptions().isEmpty());
        QVERIFY(groups->manualGroup()->isManual());
        QVERIFY(!groups->selectedServer());
        QVERIFY(!m_store->data(QStringLiteral("groups")));
    }

    void firstManualServerIsSelectedAndStored()
    {
        const auto groups = GroupCollection::load(*m_store);
        QSignalSpy changed(groups.get(), &GroupCollection::changed);
        const ServerPtr first = makeServer(QStringLiteral("one"));
        groups->addServer(first);
        groups->addServer(makeServer(QStringLiteral("two")));
        QCOMPARE(groups->selectedServer(), first);
        QVERIFY(changed.count() >= 2);
        QVERIFY(storedText().contains(
            QStringLiteral("\"selectedServerId\":\"") + first->id().toString(QUuid::WithoutBraces).toUpper()));
        QCOMPARE(names(GroupCollection::load(*m_store)->manualGroup()->servers()),
            (QStringList { QStringLiteral("one"), QStringLiteral("two") }));
    }

    // Losing the selected server falls back to the manual group first, then the first non-empty subscription.
    void removingSelectedServer_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<QString>("removed");
        QTest::addColumn<QString>("selected");
        QTest::newRow("next manual server")
            << Layout { { QStringLiteral("a"), QStringLiteral("b") }, { { QStringLiteral("c") } } }
            << QStringLiteral("a") << QStringLiteral("b");
        QTest::newRow("first non-empty subscription")
            << Layout { { QStringLiteral("a") }, { {}, { QStringLiteral("c"), QStringLiteral("d") } } }
            << QStringLiteral("a") << QStringLiteral("c");
        QTest::newRow("nothing left") << Layout { { QStringLiteral("a") }, { {} } } << QStringLiteral("a") << QString();
    }

    void removingSelectedServer()
    {
        QFETCH(Layout, layout);
        QFETCH(QString, removed);
        QFETCH(QString, selected);
        const auto groups = GroupCollection::load(*m_store);
        fill(*groups, layout);
        const auto manual = groups->manualGroup()->servers();
        const auto target
            = std::find_if(manual.begin(), manual.end(), [&](const ServerPtr &s) { return s->name() == removed; });
        QVERIFY(target != manual.end());
        groups->setSelectedServer(*target);
        groups->removeServer(**target);
        QCOMPARE(selectedName(*groups), selected);
        QVERIFY(!groups->findServer((*target)->id()));
        QCOMPARE(storedText().contains(QStringLiteral("selectedServerId")), !selected.isEmpty());
        QCOMPARE(selectedName(*GroupCollection::load(*m_store)), selected);
    }

    // Subscription servers are never removed one by one.
    void removeServerLeavesSubscriptions()
    {
        const auto groups = GroupCollection::load(*m_store);
        fill(*groups, Layout { {}, { { QStringLiteral("c") } } });
        groups->removeServer(*groups->subscriptions().first()->servers().first());
        QCOMPARE(names(groups->allServers()), QStringList { QStringLiteral("c") });
    }

    void searchOrderPutsSubscriptionsFirst()
    {
        const auto groups = GroupCollection::load(*m_store);
        fill(*groups,
            Layout { { QStringLiteral("m1") },
                { { QStringLiteral("s1"), QStringLiteral("s2") }, { QStringLiteral("t1") } } });
        QCOMPARE(names(groups->allServers()),
            (QStringList { QStringLiteral("s1"), QStringLiteral("s2"), QStringLiteral("t1"), QStringLiteral("m1") }));
        // the first subscription's first server was selected when it arrived
        QCOMPARE(selectedName(*groups), QStringLiteral("s1"));
        groups->setSelectedServer(nullptr);
        groups->selectDefaultServer();
        QCOMPARE(selectedName(*groups), QStringLiteral("m1"));
        // a server with the same id in two groups is found in the subscription first
        const ServerPtr shared = groups->subscriptions().first()->servers().first();
        groups->manualGroup()->appendServer(
            std::make_shared<Server>(shared->id(), QStringLiteral("copy"), QString(), shared->settings(), false));
        QCOMPARE(groups->findServer(shared->id()), shared);
    }

    // A large catalogue is written off the main thread; the file still ends as the last save left it.
    void largeCatalogueSavesLandInOrder()
    {
        const QStringList names = bigNames(2500);
        auto groups = GroupCollection::load(*m_store);
        const auto big = makeSubscription(QStringLiteral("big"), names);
        groups->addSubscription(big);
        groups->addServer(makeServer(QStringLiteral("late")));
        groups.reset();
        m_store->waitForPendingWrites();
        auto loaded = GroupCollection::load(*m_store);
        QCOMPARE(loaded->allServers().size(), 2501);
        QCOMPARE(loaded->manualGroup()->servers().first()->name(), QStringLiteral("late"));

        // A small save after a queued large one lands after it, so the small one is what stays.
        loaded->addSubscription(makeSubscription(QStringLiteral("more"), names));
        loaded->removeSubscriptions({ big->id(), loaded->subscriptions().last()->id() });
        m_store->waitForPendingWrites();
        QCOMPARE(GroupCollection::load(*m_store)->allServers().size(), 1);
    }

    void subscriptionWithoutServersKeepsCollectionNonEmpty()
    {
        const auto groups = GroupCollection::load(*m_store);
        groups->addSubscription(makeSubscription(QStringLiteral("empty"), {}));
        QVERIFY(!groups->isEmpty());
        QVERIFY(!groups->selectedServer());
    }

    void removeSubscriptionsReselectsAndAlwaysSaves()
    {
        const auto groups = GroupCollection::load(*m_store);
        fill(*groups, Layout { {}, { { QStringLiteral("s1") }, { QStringLiteral("t1") } } });
        QCOMPARE(selectedName(*groups), QStringLiteral("s1"));

        QVERIFY(m_store->remove(QStringLiteral("groups")));
        groups->removeSubscriptions({ QUuid::createUuid() });
        QCOMPARE(groups->subscriptions().size(), 2);
        QVERIFY(m_store->data(QStringLiteral("groups")));

        groups->removeSubscriptions({ groups->subscriptions().first()->id() });
        QCOMPARE(groups->subscriptions().size(), 1);
        QCOMPARE(selectedName(*groups), QStringLiteral("t1"));
    }

    // Everything stored comes back, in the exact form earlier and later versions read: ids, names,
    // types, dates, order and the selection.
    void storedFormRoundTrip()
    {
        const QByteArray stored = golden(QStringLiteral("app/catalogue/golden/groups"));
        QVERIFY(m_store->setData(QStringLiteral("groups"), stored));
        const auto groups = GroupCollection::load(*m_store);
        QCOMPARE(
            groups->manualGroup()->id(), QUuid::fromString(QStringLiteral("aaaaaaaa-0000-0000-0000-000000000000")));
        QCOMPARE(names(groups->allServers()), (QStringList { QStringLiteral("renamed"), QStringLiteral("n") }));
        QCOMPARE(groups->subscriptions().size(), 2);
        const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0, 0), Qt::UTC);
        QCOMPARE(groups->subscriptions().first()->lastUpdated(), reference.addMSecs(-500));
        QVERIFY(groups->subscriptions().last()->type()
            == GroupType(SubscriptionType { QStringLiteral("Second"), QStringLiteral("https://example.org/t"), true }));
        QCOMPARE(groups->selectedServer()->originalName(), QStringLiteral("t1"));
        QCOMPARE(json::serialize(encodeGroupCollection(*groups)),
            golden(QStringLiteral("app/catalogue/golden/groups"), encodeGroupCollection(*groups)));
        groups->save();
        QCOMPARE(m_store->data(QStringLiteral("groups")), std::optional(stored));
    }

    // A stored selection that cannot be resolved is repaired by the default rule and saved at once.
    void storedSelectionRepairedOnLoad_data()
    {
        QTest::addColumn<QByteArray>("selection");
        QTest::newRow("absent") << QByteArray();
        QTest::newRow("null") << QByteArray(R"(,"selectedServerId":null)");
        QTest::newRow("unknown server") << QByteArray(R"(,"selectedServerId":"99999999-0000-0000-0000-000000000000")");
    }

    void storedSelectionRepairedOnLoad()
    {
        QFETCH(QByteArray, selection);
        const QByteArray stored
            = R"({"subscriptions":[{"type":{"subscription":{"name":"S","url":"u","autoUpdate":true}},"servers":[)"
              R"({"id":"11111111-2222-3333-4444-555555555555","name":"sub","originalName":"sub","isInSubscription":true,)"
              R"("settings":{"shadowsocks":{"settings":{"address":"a","port":1,"cipher":"AES-128-GCM","password":"p"}}}}],)"
              R"("id":"BBBBBBBB-0000-0000-0000-000000000000","lastUpdated":0}],)"
              R"("manualGroup":{"type":{"manual":{"ignored":1}},"servers":[],"id":"AAAAAAAA-0000-0000-0000-000000000000","lastUpdated":0})"
            + selection + '}';
        QVERIFY(m_store->setData(QStringLiteral("groups"), stored));
        const auto groups = GroupCollection::load(*m_store);
        QCOMPARE(selectedName(*groups), QStringLiteral("sub"));
        QCOMPARE(groups->subscriptions().size(), 1);
        QVERIFY(storedText().contains(QStringLiteral(R"("selectedServerId":"11111111-2222-3333-4444-555555555555")")));
    }

    // Unreadable documents give a fresh catalogue; the file stays as it was and a copy survives the next save.
    void unreadableDocumentFallsBack_data()
    {
        QTest::addColumn<QByteArray>("stored");
        const QByteArray manual(
            R"("manualGroup":{"type":{"manual":{}},"servers":[],"id":"AAAAAAAA-0000-0000-0000-000000000000","lastUpdated":0})");
        QTest::newRow("not json") << QByteArray("not json");
        QTest::newRow("truncated") << QByteArray(R"({"subscriptions":[)");
        QTest::newRow("invalid utf8") << QByteArray("{\"subscriptions\":[],\"x\":\"\xc3\x28\"}");
        QTest::newRow("group without lastUpdated")
            << R"({"subscriptions":[{"type":{"manual":{}},"servers":[],"id":"BBBBBBBB-0000-0000-0000-000000000000"}],)"
                + manual + '}';
        QTest::newRow("type with both cases") << QByteArray(
            R"({"subscriptions":[],"manualGroup":{"type":{"manual":{},"subscription":{"name":"a","url":"b","autoUpdate":true}},)"
            R"("servers":[],"id":"AAAAAAAA-0000-0000-0000-000000000000","lastUpdated":0}})");
        QTest::newRow("manual group of subscription kind") << QByteArray(
            R"({"subscriptions":[],"manualGroup":{"type":{"subscription":{"name":"a","url":"b","autoUpdate":true}},)"
            R"("servers":[],"id":"AAAAAAAA-0000-0000-0000-000000000000","lastUpdated":0}})");
        QTest::newRow("selected id malformed") << R"({"subscriptions":[],)" + manual + R"(,"selectedServerId":"nope"})";
        QTest::newRow("subscriptions missing") << '{' + manual + '}';
        QTest::newRow("lastUpdated as text") << QByteArray(
            R"({"subscriptions":[],"manualGroup":{"type":{"manual":{}},"servers":[],"id":"AAAAAAAA-0000-0000-0000-000000000000","lastUpdated":"0"}})");
        QTest::newRow("nul byte") << QByteArray("{\"subscriptions\":[]\0}", 21);
    }

    void unreadableDocumentFallsBack()
    {
        QFETCH(QByteArray, stored);
        QVERIFY(m_store->setData(QStringLiteral("groups"), stored));
        StorageProblems problems(*m_store);
        QSignalSpy reported(&problems, &StorageProblems::problemFound);
        QTest::ignoreMessage(
            QtCriticalMsg, QRegularExpression(QStringLiteral("^The stored catalogue does not decode")));
        const auto groups = GroupCollection::load(*m_store);
        QVERIFY(groups->isEmpty());
        QVERIFY(!groups->selectedServer());
        QCOMPARE(m_store->data(QStringLiteral("groups")), std::optional<QByteArray>(stored));

        groups->addServer(makeServer(QStringLiteral("new")));
        QVERIFY(storedText().contains(QStringLiteral("\"new\"")));
        const QStringList copies
            = QDir(m_store->directory()).entryList({ QStringLiteral("groups.unreadable-*.json") }, QDir::Files);
        QCOMPARE(copies.size(), 1);
        QFile copy(QDir(m_store->directory()).filePath(copies.first()));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), stored);
        // The user hears of it once, with where the copy is.
        QTRY_COMPARE(reported.count(), 1);
        QVERIFY(reported.first().at(1).toString().contains(copy.fileName()));
    }

    // A catalogue that exists but cannot be read is neither taken for absent nor replaced; once it
    // can be read again, the next save keeps a copy of it before replacing it.
    void unreadableFileIsKeptNotReplaced_data()
    {
        QTest::addColumn<bool>("directoryInTheWay");
        QTest::newRow("read denied") << false;
        QTest::newRow("directory in the way") << true;
    }

    void unreadableFileIsKeptNotReplaced()
    {
        QFETCH(bool, directoryInTheWay);
        GroupCollection::load(*m_store)->addServer(makeServer(QStringLiteral("old")));
        const QString path = m_store->filePath(QStringLiteral("groups"));
        const QByteArray stored = m_store->data(QStringLiteral("groups")).value();
        if (directoryInTheWay) {
            QVERIFY(QFile::rename(path, path + QStringLiteral(".moved")));
            QVERIFY(QDir().mkdir(path));
        } else {
            QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
        }

        std::unique_ptr<GroupCollection> groups;
        {
            const WithoutFileAccessOverride asAnyUser;
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Cannot read .*groups\\.json")));
            groups = GroupCollection::load(*m_store);
            QVERIFY(groups->isEmpty());
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Cannot write .*groups\\.json")));
            groups->addServer(makeServer(QStringLiteral("new")));
        }
        if (directoryInTheWay) {
            QVERIFY(QDir().rmdir(path));
            QVERIFY(QFile::rename(path + QStringLiteral(".moved"), path));
        } else {
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        }
        QCOMPARE(m_store->data(QStringLiteral("groups")), std::optional<QByteArray>(stored));

        groups->addServer(makeServer(QStringLiteral("later")));
        QCOMPARE(names(GroupCollection::load(*m_store)->allServers()),
            (QStringList { QStringLiteral("new"), QStringLiteral("later") }));
        const QStringList copies
            = QDir(m_store->directory()).entryList({ QStringLiteral("groups.unreadable-*.json") }, QDir::Files);
        QCOMPARE(copies.size(), 1);
        QFile copy(QDir(m_store->directory()).filePath(copies.first()));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), stored);
    }

    // A failed save keeps the catalogue in memory, is retried by the next change and is told to the
    // user once per streak of failures.
    void failedSavesAreReportedOncePerStreak()
    {
        StorageProblems problems(*m_store);
        QSignalSpy reported(&problems, &StorageProblems::problemFound);
        const auto groups = GroupCollection::load(*m_store);
        groups->addServer(makeServer(QStringLiteral("a")));
        const auto addOnFullDisk = [&](const QString &name) {
            // A write cut short by the file-size limit, as on a full disk.
            rlimit saved {};
            QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit small = saved;
            small.rlim_cur = 64;
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Cannot write ")));
            groups->addServer(makeServer(name));
            ::setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, oldHandler);
        };
        addOnFullDisk(QStringLiteral("b"));
        addOnFullDisk(QStringLiteral("c"));
        QTRY_COMPARE(reported.count(), 1);
        QTest::qWait(20);
        QCOMPARE(reported.count(), 1);
        QCOMPARE(reported.first().at(0).toString(), QStringLiteral("Your servers could not be saved"));
        const QString message = reported.first().at(1).toString();
        QVERIFY2(message.startsWith(QStringLiteral("Wrenlow could not save your servers: File too large."))
                && message.endsWith(QStringLiteral("saving will be tried again.")),
            qPrintable(message));
        QCOMPARE(names(GroupCollection::load(*m_store)->allServers()), QStringList { QStringLiteral("a") });

        groups->addServer(makeServer(QStringLiteral("d")));
        QCOMPARE(names(GroupCollection::load(*m_store)->allServers()),
            (QStringList { QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d") }));
        addOnFullDisk(QStringLiteral("e"));
        QTRY_COMPARE(reported.count(), 2);
    }

    // A small save while a large write is still queued returns at once and lands after it; the
    // collection's end does not wait either: the store sees the writes through.
    void smallSaveDoesNotWaitForLargeWrite()
    {
        // Shared with the writer thread, which may outlive a failed test function.
        const auto gate = std::make_shared<QSemaphore>();
        const auto writerFree = std::make_shared<std::atomic<bool>>(false);
        // Keeps the store's writer busy, so that whatever is queued behind cannot land yet.
        m_store->setDataLater(QStringLiteral("other"), [gate, writerFree]() -> std::optional<QByteArray> {
            gate->tryAcquire(1, 10000);
            *writerFree = true;
            return QByteArray("{}");
        });
        auto groups = GroupCollection::load(*m_store);
        const auto big = makeSubscription(QStringLiteral("big"), bigNames(2500));
        groups->addSubscription(big);
        groups->removeSubscriptions({ big->id() });
        groups->addServer(makeServer(QStringLiteral("small")));
        groups.reset();
        QVERIFY(!*writerFree);
        QVERIFY(!m_store->data(QStringLiteral("groups")));

        gate->release();
        m_store->waitForPendingWrites();
        QCOMPARE(names(GroupCollection::load(*m_store)->allServers()), QStringList { QStringLiteral("small") });
    }

    // However the program is asked to quit, the event loop ends only after queued saves landed.
    void quitWaitsForQueuedSaves_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("quit from the menu or the session") << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void quitWaitsForQueuedSaves()
    {
        QFETCH(int, signalNumber);
        const OrderlyQuit orderlyQuit(*m_store);
        const auto gate = std::make_shared<QSemaphore>();
        m_store->setDataLater(QStringLiteral("other"), [gate]() -> std::optional<QByteArray> {
            gate->tryAcquire(1, 10000);
            return QByteArray("{}");
        });
        auto groups = GroupCollection::load(*m_store);
        groups->addSubscription(makeSubscription(QStringLiteral("big"), bigNames(2500)));

        // Timers end with this function, whatever its outcome.
        const QObject scope;
        QTimer::singleShot(0, &scope, [signalNumber] {
            if (signalNumber == 0)
                QCoreApplication::quit();
            else
                ::raise(signalNumber);
        });
        QTimer::singleShot(200, &scope, [gate] { gate->release(); });
        // Ends a loop that never quits, rather than hanging the suite.
        QTimer::singleShot(20000, &scope, [] { QCoreApplication::exit(1); });
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(elapsed.elapsed() >= 150);
        QVERIFY(!m_store->hasPendingWrites());
        QCOMPARE(GroupCollection::load(*m_store)->allServers().size(), 2500);
    }
};

WRENLOW_TEST(GroupCollectionTest)
#include "tst_groupcollection.moc"
