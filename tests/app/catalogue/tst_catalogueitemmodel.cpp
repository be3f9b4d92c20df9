#include "app/catalogue/catalogueitemmodel.h"
#include "app/catalogue/groupcollection.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

namespace {

// The model as a person reads it: "A[a1,a2] B[b1] My servers[m1]".
QString shown(const QAbstractItemModel &model)
{
    QStringList groups;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex group = model.index(row, 0);
        QStringList servers;
        for (int child = 0; child < model.rowCount(group); ++child)
            servers.append(model.index(child, 0, group).data().toString());
        groups.append(group.data().toString() + u'[' + servers.join(u',') + u']');
    }
    return groups.join(u' ');
}

} // namespace

using Change = std::function<void(GroupCollection &)>;
Q_DECLARE_METATYPE(Change)

class CatalogueItemModelTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<GroupCollection> m_groups;
    std::unique_ptr<CatalogueItemModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;

    ServerGroupPtr group(int i) const { return m_groups->subscriptions().at(i); }
    ServerPtr serverOf(int groupIndex, int i) const { return group(groupIndex)->servers().at(i); }

private Q_SLOTS:
    // A[a1,a2] B[b1] C[] My servers[m1], a1 selected.
    void init()
    {
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
        m_groups = std::make_unique<GroupCollection>(*m_store);
        m_groups->addSubscription(makeTestSubscription(u"A"_s, { u"a1"_s, u"a2"_s }));
        m_groups->addSubscription(makeTestSubscription(u"B"_s, { u"b1"_s }));
        m_groups->addSubscription(makeTestSubscription(QString(), {}));
        m_groups->addServer(makeTestServer(u"m1"_s));
        m_model = std::make_unique<CatalogueItemModel>(*m_groups);
        m_tester = std::make_unique<QAbstractItemModelTester>(
            m_model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    void cleanup()
    {
        m_tester.reset();
        m_model.reset();
        m_groups.reset();
    }

    void followsEveryChange_data()
    {
        QTest::addColumn<Change>("change");
        QTest::addColumn<QString>("expected");
        QTest::newRow("subscription added")
            << Change([](GroupCollection &g) { g.addSubscription(makeTestSubscription(u"D"_s, { u"d1"_s })); })
            << u"A[a1,a2] B[b1] Subscription[] D[d1] My servers[m1]"_s;
        QTest::newRow("subscriptions removed in two runs") << Change([](GroupCollection &g) {
            g.removeSubscriptions({ g.subscriptions()[0]->id(), g.subscriptions()[2]->id() });
        }) << u"B[b1] My servers[m1]"_s;
        QTest::newRow("moved down") << Change([](GroupCollection &g) { g.moveSubscription(0, 2); })
                                    << u"B[b1] Subscription[] A[a1,a2] My servers[m1]"_s;
        QTest::newRow("last manual server removed takes its heading")
            << Change([](GroupCollection &g) { g.removeServer(*g.manualGroup()->servers()[0]); })
            << u"A[a1,a2] B[b1] Subscription[]"_s;
        QTest::newRow("first manual server brings its heading back") << Change([](GroupCollection &g) {
            g.removeServer(*g.manualGroup()->servers()[0]);
            g.addServer(makeTestServer(u"m2"_s));
        }) << u"A[a1,a2] B[b1] Subscription[] My servers[m2]"_s;
        QTest::newRow("duplicates removed in runs") << Change([](GroupCollection &g) {
            const ServerPtr twice = makeTestServer(u"x"_s);
            g.manualGroup()->setServers({ twice, makeTestServer(u"y"_s), twice, twice });
            g.removeServer(*twice);
        }) << u"A[a1,a2] B[b1] Subscription[] My servers[y]"_s;
        QTest::newRow("refreshed") << Change([](GroupCollection &g) {
            QCoro::waitFor(g.replaceSubscriptions(
                { { g.subscriptions()[0]->id(), makeTestSubscription(u"A"_s, { u"a1"_s, u"a3"_s }) },
                    { g.subscriptions()[2]->id(), makeTestSubscription(u"C"_s, { u"c1"_s }) } }));
        }) << u"A[a1,a3] B[b1] C[c1] My servers[m1]"_s;
    }

    void followsEveryChange()
    {
        QFETCH(Change, change);
        QFETCH(QString, expected);
        QSignalSpy resets(m_model.get(), &QAbstractItemModel::modelAboutToBeReset);
        QSignalSpy layouts(m_model.get(), &QAbstractItemModel::layoutAboutToBeChanged);
        change(*m_groups);
        QTRY_COMPARE(shown(*m_model), expected);
        QCOMPARE(resets.count(), 0);
        QCOMPARE(layouts.count(), 0);
    }

    void persistentIndexesFollowTheirRows()
    {
        const QPersistentModelIndex b1 = m_model->indexOf(serverOf(1, 0).get());
        const QPersistentModelIndex headingA = m_model->index(0, 0);
        const QPersistentModelIndex a2 = m_model->indexOf(serverOf(0, 1).get());
        m_groups->moveSubscription(1, 2);
        m_groups->addSubscription(makeTestSubscription(u"D"_s, {}));
        m_groups->removeSubscriptions({ group(1)->id() });
        QCOMPARE(b1.parent().row(), 1);
        QCOMPARE(m_model->serverAt(b1), serverOf(1, 0));
        // A refresh replaces the servers but keeps the group's row.
        const ServerPtr outlivesItsGroup = serverOf(0, 1);
        m_groups->replaceSubscription(group(0)->id(), makeTestSubscription(u"A2"_s, { u"a2"_s }));
        QVERIFY(!a2.isValid());
        outlivesItsGroup->setStatus(OnlineStatus::online); // an editor may still hold it
        QCOMPARE(headingA.row(), 0);
        QCOMPARE(headingA.data().toString(), u"A2"_s);
        QCOMPARE(m_model->groupAt(headingA), group(0));
    }

    void checkmarkFollowsSelection()
    {
        QSignalSpy changes(m_model.get(), &QAbstractItemModel::dataChanged);
        const auto selected = [this](const ServerPtr &s) {
            return m_model->indexOf(s.get()).data(CatalogueItemModel::SelectedRole).toBool();
        };
        const ServerPtr a1 = serverOf(0, 0);
        QVERIFY(selected(a1));
        m_groups->setSelectedServer(serverOf(0, 1));
        QCOMPARE(changes.count(), 2);
        QVERIFY(!selected(a1));
        QVERIFY(selected(serverOf(0, 1)));
        // The refreshed copy of the selected server carries the mark.
        m_groups->replaceSubscription(group(0)->id(), makeTestSubscription(u"A"_s, { u"a0"_s, u"a2"_s }));
        QVERIFY(selected(serverOf(0, 1)));
        QVERIFY(!selected(serverOf(0, 0)));
    }

    void fieldChangesAreBatchedIntoRanges()
    {
        QStringList range;
        for (int i = 0; i < 300; ++i)
            range.append(QString::number(i));
        m_groups->addSubscription(makeTestSubscription(u"Big"_s, range));
        QList<std::pair<int, int>> emitted;
        // Ends the connection with this function, which its captures live in.
        const QObject scope;
        connect(m_model.get(), &QAbstractItemModel::dataChanged, &scope,
            [&](const QModelIndex &from, const QModelIndex &to) {
                emitted.append({ from.row(), to.row() });
            });
        for (const ServerPtr &s : group(3)->servers()) {
            s->setInProgress(true);
            if (s->name().toInt() < 100 || s->name().toInt() >= 200)
                s->setStatus(OnlineStatus::online);
        }
        QVERIFY(emitted.isEmpty());
        QTRY_COMPARE(emitted, (QList<std::pair<int, int>> { { 0, 299 } }));
        emitted.clear();
        for (const ServerPtr &s : group(3)->servers())
            s->setInProgress(s->status() == OnlineStatus::unknown);
        QTRY_COMPARE(emitted, (QList<std::pair<int, int>> { { 0, 99 }, { 200, 299 } }));
        const QModelIndex row = m_model->indexOf(serverOf(3, 250).get());
        QCOMPARE(row.data(CatalogueItemModel::StatusRole).value<OnlineStatus>(), OnlineStatus::online);
        QCOMPARE(row.data(CatalogueItemModel::InProgressRole).toBool(), false);
        QCOMPARE(row.data(CatalogueItemModel::ProtocolRole).toString(), u"Shadowsocks"_s);
    }

    // A change still waiting to be sent must name its row as it is when sent.
    void pendingChangeIsSentBeforeRowsMove()
    {
        m_groups->addServer(makeTestServer(u"m2"_s));
        m_groups->addServer(makeTestServer(u"m3"_s));
        const QList<ServerPtr> manual = m_groups->manualGroup()->servers();
        QStringList named;
        const QObject scope;
        connect(m_model.get(), &QAbstractItemModel::dataChanged, &scope,
            [&](const QModelIndex &from) { named.append(m_model->serverAt(from)->name()); });
        manual[1]->setStatus(OnlineStatus::offline);
        m_groups->removeServer(*manual[0]);
        QCOMPARE(named, QStringList { u"m2"_s });
        manual[2]->setName(u"m9"_s);
        QTRY_COMPARE(named, (QStringList { u"m2"_s, u"m9"_s }));
    }
};

WRENLOW_TEST(CatalogueItemModelTest)
#include "tst_catalogueitemmodel.moc"
