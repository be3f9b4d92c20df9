#include "app/catalogue/statuschecks.h"
#include "app/tunnel/vpnmanager.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(OnlineStatus)

namespace {

QByteArray statusAnswer(OnlineStatus status)
{
    return encodeTunnelRequestResult(TunnelResults::OnlineStatusResult { status });
}

} // namespace

class StatusChecksTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeTunnelPlatform> m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    std::vector<QCoro::Task<>> m_running;

    FakeTunnelConnection &tunnel(VPNStatus status) { return loadSavedTunnel(*m_platform, *m_vpn, status); }

private Q_SLOTS:
    void init()
    {
        m_platform = std::make_unique<FakeTunnelPlatform>();
        m_vpn = std::make_unique<VPNManager>(*m_platform, [] { return AppSettings {}; });
    }

    void cleanup()
    {
        QTRY_VERIFY(std::all_of(m_running.begin(), m_running.end(), [](auto &task) { return task.isReady(); }));
        m_running.clear();
        m_vpn.reset();
        m_platform.reset();
    }

    void one_data()
    {
        QTest::addColumn<bool>("current");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<OnlineStatus>("status");
        const QByteArray failure = encodeTunnelRequestResult(TunnelResults::Failure { u"no route"_s });
        QTest::newRow("online") << false << statusAnswer(OnlineStatus::online) << OnlineStatus::online;
        QTest::newRow("offline") << false << statusAnswer(OnlineStatus::offline) << OnlineStatus::offline;
        QTest::newRow("tunnel failure") << false << failure << OnlineStatus::unknown;
        QTest::newRow("current, offline") << true << statusAnswer(OnlineStatus::offline) << OnlineStatus::offline;
    }

    void one()
    {
        QFETCH(bool, current);
        QFETCH(QByteArray, answer);
        QFETCH(OnlineStatus, status);
        auto &connection = tunnel(VPNStatus::connected);
        const ServerPtr server = makeTestServer(u"One"_s);
        server->setStatus(OnlineStatus::online == status ? OnlineStatus::offline : OnlineStatus::online);
        m_running.push_back(current ? checkCurrentStatus(server, *m_vpn) : checkStatus(server, *m_vpn));
        QTRY_COMPARE(connection.messages.size(), 1);
        QVERIFY(server->inProgress());
        connection.answer(0, answer);
        QTRY_VERIFY(!server->inProgress());
        QCOMPARE(server->status(), status);
    }

    void currentWithoutTunnelIsUnknown()
    {
        auto &connection = tunnel(VPNStatus::disconnected);
        const ServerPtr server = makeTestServer(u"One"_s);
        server->setStatus(OnlineStatus::online);
        QSignalSpy busy(server.get(), &Server::inProgressChanged);
        m_running.push_back(checkCurrentStatus(server, *m_vpn));
        QTRY_COMPARE(busy.count(), 2);
        QCOMPARE(server->status(), OnlineStatus::unknown);
        QCOMPARE(connection.messages.size(), 0);
    }

    void batchInstallsProfileFromFirstServer()
    {
        QCoro::waitFor(m_vpn->loadManager()); // nothing saved yet
        const QList<ServerPtr> servers { makeTestServer(u"First"_s), makeTestServer(u"Second"_s),
            makeTestServer(u"Third"_s) };
        auto checking = std::make_shared<QList<bool>>();
        m_running.push_back(checkStatuses(servers, *m_vpn, [checking](bool on) { checking->append(on); }));
        QTRY_COMPARE(m_platform->made.size(), 1);
        QCOMPARE(m_platform->savedDescriptions().value(0), u"First"_s);
        auto &connection = m_platform->made.first()->fakeConnection;
        QTRY_COMPARE(connection.messages.size(), 3);
        QCOMPARE(*checking, QList<bool> { true });
        for (const auto &server : servers)
            QVERIFY(server->inProgress());
        for (int i = 0; i < 3; ++i)
            connection.answer(i, statusAnswer(i == 1 ? OnlineStatus::offline : OnlineStatus::online));
        QTRY_COMPARE(*checking, (QList<bool> { true, false }));
        QCOMPARE(servers[0]->status(), OnlineStatus::online);
        QCOMPARE(servers[1]->status(), OnlineStatus::offline);
        QCOMPARE(servers[2]->status(), OnlineStatus::online);
        QVERIFY(!servers[2]->inProgress());
    }

    void batchStopsWhenProfileCannotBeInstalled()
    {
        QCoro::waitFor(m_vpn->loadManager());
        m_platform->saveScript.failure = u"denied"_s;
        const ServerPtr server = makeTestServer(u"First"_s);
        QSignalSpy busy(server.get(), &Server::inProgressChanged);
        auto checked = std::make_shared<bool>(false);
        m_running.push_back(checkStatuses({ server }, *m_vpn, [checked](bool) { *checked = true; }));
        QTRY_VERIFY(m_running.back().isReady());
        QCOMPARE(m_platform->saves.size(), 1);
        QVERIFY(!*checked);
        QCOMPARE(busy.count(), 0);
    }
};

WRENLOW_TEST(StatusChecksTest)
#include "tst_statuschecks.moc"
