#include "testregistry.h"
#include "ui/mainwindow/mainwindow.h"
#include "ui/tray/trayicon.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

class MainWindowTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void trayMenuOpensAndQuits_data()
    {
        QTest::addColumn<QString>("actionText");
        QTest::addColumn<bool>("opens");
        QTest::newRow("open") << QStringLiteral("Open Wrenlow") << true;
        QTest::newRow("quit") << QStringLiteral("Quit") << false;
    }

    void trayMenuOpensAndQuits()
    {
        QFETCH(QString, actionText);
        QFETCH(bool, opens);
        TrayIcon tray;
        QSignalSpy openSpy(&tray, &TrayIcon::openMainWindowRequested);
        QSignalSpy quitSpy(&tray, &TrayIcon::quitRequested);
        QAction *action = nullptr;
        for (auto *candidate : tray.menu()->actions()) {
            if (candidate->text() == actionText)
                action = candidate;
        }
        QVERIFY(action);
        action->trigger();
        QCOMPARE(openSpy.count(), opens ? 1 : 0);
        QCOMPARE(quitSpy.count(), opens ? 0 : 1);
    }

    // Presenting a minimised window must bring it back, not leave it in the task bar.
    void presentRestoresMinimisedWindow()
    {
        MainWindow window;
        window.showMinimized();
        window.present();
        QVERIFY(window.isVisible());
        QTRY_VERIFY(!window.isMinimized());
    }
};

WRENLOW_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
