#include "../uitesting.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "core/tunnel/tunnelprovidererror.h"
#include "faketunnelplatform.h"
#include "testregistry.h"
#include "ui/common/alert.h"
#include "ui/common/toggleswitch.h"
#include "ui/graph/speedgraph.h"
#include "ui/mainwindow/mainview.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>

using namespace Qt::StringLiterals;

template <typename Request> static QList<qsizetype> requestsOf(const FakeTunnelConnection &connection)
{
    QList<qsizetype> found;
    for (qsizetype i = 0; i < connection.messages.size(); ++i) {
        if (std::holds_alternative<Request>(decodeTunnelRequest(connection.messages[i].bytes)))
            found.append(i);
    }
    return found;
}

// A main view over two manual servers, the first selected, on the fake tunnel layer.
struct ViewFixture : TestCatalogue {
    FakeTunnelPlatform platform;
    VPNManager vpn { platform, [] { return AppSettings {}; } };
    FakeExtensionActivation activation;
    SystemExtensionManager extensions { activation, [] {} };
    FixedSettings settings;
    SubscriptionLoader loader;
    ServerPtr first = makeTestServer(u"First"_s);
    ServerPtr second = makeTestServer(u"Second"_s);
    std::unique_ptr<MainView> view;

    ViewFixture()
    {
        groups.addServer(first);
        groups.addServer(second);
        groups.setSelectedServer(first);
        view = std::make_unique<MainView>(groups, vpn, extensions, settings, loader);
        view->show();
        Q_EMIT view->appeared();
    }

    // Requests the view left waiting end as unanswered ones do, so no task outlives the test.
    ~ViewFixture()
    {
        for (const auto &profiles : { platform.stored, platform.made }) {
            for (const auto &profile : profiles) {
                for (qsizetype i = 0; i < profile->fakeConnection.messages.size(); ++i) {
                    if (profile->fakeConnection.messages[i].handler)
                        profile->fakeConnection.answer(i, std::nullopt);
                }
            }
        }
        settle();
    }

    void activationSucceeds()
    {
        Q_EMIT activation.finished(0);
        settle();
    }

    // The tunnel found running at start, with activation done.
    FakeTunnelConnection &running(VPNStatus status)
    {
        activationSucceeds();
        FakeTunnelConnection &connection = loadSavedTunnel(platform, vpn, status);
        settle();
        return connection;
    }

    ToggleSwitch *toggle() const { return view->findChild<ToggleSwitch *>(); }
    QWidget *graphHolder() const { return view->findChild<FullGraph *>()->parentWidget(); }
    QString label(const QString &name) const { return view->findChild<QLabel *>(name)->text(); }
    // The title and message of the alert on screen, if any.
    QStringList alert() const
    {
        return view->alert().isShown() ? QStringList { view->alert().title(), view->alert().message() } : QStringList();
    }
};

class MainViewTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void extensionState_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("footer");
        QTest::addColumn<QStringList>("alert");
        QTest::newRow("activation requested") << 0 << false << u"Initializing system extension..."_s << QStringList();
        QTest::newRow("reboot required") << 1 << false << u"System reboot is required to update system extension."_s
                                         << QStringList();
        QTest::newRow("failed") << 2 << false << u"Error: denied"_s
                                << QStringList { u"Error initializing System Extension"_s, u"denied"_s };
        QTest::newRow("success") << 3 << true << QString() << QStringList();
    }

    // Activation is asked for on the first appearance only; the switch and the check wait for it.
    void extensionState()
    {
        QFETCH(int, step);
        QFETCH(bool, enabled);
        QFETCH(QString, footer);
        QFETCH(QStringList, alert);
        ViewFixture f;
        Q_EMIT f.view->appeared();
        QCOMPARE(f.activation.submits, 1);
        if (step == 1)
            Q_EMIT f.activation.finished(1);
        else if (step == 2)
            Q_EMIT f.activation.failed(u"denied"_s);
        else if (step == 3)
            f.activationSucceeds();
        QCOMPARE(f.toggle()->isEnabled(), enabled);
        QCOMPARE(f.view->findChild<QPushButton *>()->isEnabled(), enabled);
        auto *message = f.view->findChild<QLabel *>(u"extension-message"_s);
        QCOMPARE(message->isVisible(), !footer.isEmpty());
        if (!footer.isEmpty())
            QCOMPARE(message->text(), footer);
        QCOMPARE(f.alert(), alert);
        // A click on a disabled switch asks nothing of the tunnel.
        QTest::mouseClick(f.toggle(), Qt::LeftButton);
        QTRY_COMPARE(f.platform.startsEverywhere(), enabled ? 1 : 0);
    }

    // Turning the switch on when the profile cannot be saved or the tunnel does not start: the alert
    // says why and the switch goes back off. The startup suite turns it on and off for real.
    void switchOnFails_data()
    {
        QTest::addColumn<bool>("profileSaved");
        QTest::addColumn<QString>("failure");
        QTest::newRow("profile cannot be saved") << false << u"not allowed"_s;
        QTest::newRow("tunnel does not start") << true << u"no tunnel"_s;
    }

    void switchOnFails()
    {
        QFETCH(bool, profileSaved);
        QFETCH(QString, failure);
        ViewFixture f;
        if (profileSaved) {
            f.running(VPNStatus::disconnected).startFailure = failure;
        } else {
            f.activationSucceeds();
            f.platform.saveScript.failure = failure;
        }
        QTest::mouseClick(f.toggle(), Qt::LeftButton);
        QTRY_COMPARE(f.platform.startsEverywhere(), profileSaved ? 1 : 0);
        QTRY_COMPARE(f.alert(), (QStringList { u"Error"_s, failure }));
        QVERIFY(!f.view->isProxyEnabled());
        QVERIFY(!f.toggle()->isChecked());
    }

    void statusUpdatesLeaveTunnelAlone_data()
    {
        QTest::addColumn<VPNStatus>("initial");
        QTest::addColumn<QList<VPNStatus>>("statuses");
        QTest::addColumn<bool>("on");
        QTest::addColumn<QString>("text");
        QTest::newRow("found connected, then dropped")
            << VPNStatus::connected << QList<VPNStatus> { VPNStatus::disconnected } << false << u"Not connected"_s;
        QTest::newRow("started elsewhere")
            << VPNStatus::disconnected << QList<VPNStatus> { VPNStatus::connecting, VPNStatus::connected } << true
            << u"Connected"_s;
        QTest::newRow("reasserting stays on")
            << VPNStatus::connected << QList<VPNStatus> { VPNStatus::reasserting } << true << u"Reconnecting..."_s;
        QTest::newRow("stopping elsewhere")
            << VPNStatus::connected << QList<VPNStatus> { VPNStatus::disconnecting } << false << u"Disconnecting..."_s;
    }

    // The switch follows the tunnel, and following it never starts or stops the tunnel.
    void statusUpdatesLeaveTunnelAlone()
    {
        QFETCH(VPNStatus, initial);
        QFETCH(QList<VPNStatus>, statuses);
        QFETCH(bool, on);
        QFETCH(QString, text);
        ViewFixture f;
        FakeTunnelConnection &connection = f.running(initial);
        const qsizetype saves = f.platform.saves.size();
        for (const VPNStatus status : statuses) {
            connection.setStatus(status);
            settle();
        }
        QCOMPARE(f.view->isProxyEnabled(), on);
        QCOMPARE(f.toggle()->isChecked(), on);
        QCOMPARE(f.label(u"vpn-status"_s), text);
        QCOMPARE(f.platform.startsEverywhere(), 0);
        QCOMPARE(connection.stops, 0);
        QCOMPARE(f.platform.saves.size(), saves);
    }

    // The reason a connect failed is shown once; closing the alert forgets it. The server row and the
    // settings button ask for their screens.
    void tunnelDropsWithError()
    {
        ViewFixture f;
        FakeTunnelConnection &connection = f.running(VPNStatus::disconnected);
        connection.lastDisconnectError = PlatformError(u"NEVPNConnectionErrorDomain"_s, 1, {}, u"Server refused"_s);
        QTest::mouseClick(f.toggle(), Qt::LeftButton);
        QTRY_COMPARE(connection.starts, 1);
        QSignalSpy shown(&f.view->alert(), &Alert::isShownChanged);
        connection.setStatus(VPNStatus::connecting);
        settle();
        connection.setStatus(VPNStatus::disconnected);
        QTRY_COMPARE(f.alert(), (QStringList { u"VPN connection error"_s, u"Server refused"_s }));
        QVERIFY(f.vpn.lastError());
        f.view->alert().box()->buttons().first()->click();
        QCOMPARE(f.alert(), QStringList());
        QVERIFY(!f.vpn.lastError());
        // A later stop without a new reason says nothing.
        connection.setStatus(VPNStatus::connected);
        settle();
        connection.setStatus(VPNStatus::disconnected);
        settle();
        QCOMPARE(shown.count(), 2);

        QSignalSpy servers(f.view.get(), &MainView::serversListRequested);
        QSignalSpy settings(f.view.get(), &MainView::settingsRequested);
        QTest::mouseClick(f.view->findChild<QWidget *>(u"server-row"_s), Qt::LeftButton);
        QCOMPARE(servers.count(), 1);
        qobject_cast<QToolButton *>(f.view->trailingHeaderWidgets().first().data())->click();
        QCOMPARE(settings.count(), 1);
    }

    // Connected: the server's status is asked of the tunnel and the graph refreshes; disconnected:
    // the graph is emptied and hidden, and no more data is asked for.
    void graphFollowsConnection()
    {
        ViewFixture f;
        FakeTunnelConnection &connection = f.running(VPNStatus::connected);
        QTRY_VERIFY(f.graphHolder()->isVisible());
        const auto statusChecks = requestsOf<TunnelRequests::CheckCurrentStatus>(connection);
        QCOMPARE(statusChecks.size(), 1);
        QVERIFY(f.first->inProgress());
        connection.answer(statusChecks.first(),
            encodeTunnelRequestResult(TunnelResults::OnlineStatusResult { OnlineStatus::online }));
        QTRY_COMPARE(f.label(u"online-status"_s), u"Online"_s);

        // An answer that does not decode keeps the last picture.
        const QList<QByteArray> answers
            = { encodeGraphData(2048, 10, "\x01\x02\x03\x04"_ba), "\x01"_ba, encodeGraphData(5242880, 0, {}) };
        const QList<qint64> received = { 2048, 2048, 5242880 };
        for (qsizetype tick = 0; tick < answers.size(); ++tick) {
            f.view->refreshGraph();
            const auto requests = requestsOf<TunnelRequests::GetGraphData>(connection);
            QCOMPARE(requests.size(), tick + 1);
            connection.answer(requests.last(), answers[tick]);
            settle();
            QTRY_COMPARE(f.view->graphData().received, received[tick]);
        }

        connection.setStatus(VPNStatus::disconnected);
        settle();
        QCOMPARE(f.view->graphData(), GraphData {});
        QTRY_VERIFY(f.graphHolder()->isHidden());
        f.view->refreshGraph();
        QCOMPARE(requestsOf<TunnelRequests::GetGraphData>(connection).size(), answers.size());
    }

    void selectionChange_data()
    {
        QTest::addColumn<VPNStatus>("status");
        QTest::addColumn<QString>("failure");
        QTest::newRow("connected") << VPNStatus::connected << QString();
        QTest::newRow("connected, tunnel refuses") << VPNStatus::connected << u"no such server"_s;
        QTest::newRow("disconnected, profile only") << VPNStatus::disconnected << QString();
    }

    // A new selection goes to the running tunnel, and the view shows it whatever the outcome.
    void selectionChange()
    {
        QFETCH(VPNStatus, status);
        QFETCH(QString, failure);
        ViewFixture f;
        FakeTunnelConnection &connection = f.running(status);
        const qsizetype saves = f.platform.saves.size();
        f.groups.setSelectedServer(f.second);
        QCOMPARE(f.view->selectedServer(), f.second);
        QCOMPARE(f.label(u"server-address"_s), u"second.example"_s);
        const auto changes = requestsOf<TunnelRequests::Change>(connection);
        QCOMPARE(changes.size(), status == VPNStatus::connected ? 1 : 0);
        if (!changes.isEmpty()) {
            connection.answer(changes.first(),
                encodeTunnelRequestResult(failure.isEmpty() ? TunnelRequestResult(TunnelResults::Success {})
                                                            : TunnelResults::Failure { failure }));
        }
        QTRY_COMPARE(f.platform.saves.size(), saves + (failure.isEmpty() ? 1 : 0));
        QTRY_COMPARE(
            f.alert(), (failure.isEmpty() ? QStringList() : QStringList { u"Error changing VPN server"_s, failure }));
        QCOMPARE(f.groups.selectedServer(), f.second);
        // A refresh puts a copy of the selected server in place: the tunnel already has it.
        const ServerRecord record = *f.second->record();
        f.groups.setSelectedServer(
            std::make_shared<Server>(record.id, record.name, record.originalName, record.settings, false));
        settle();
        QCOMPARE(requestsOf<TunnelRequests::Change>(connection).size(), changes.size());
    }
};

WRENLOW_TEST(MainViewTest)
#include "tst_mainview.moc"
