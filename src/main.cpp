#include "app/application/orderlyquit.h"
#include "app/application/storageproblems.h"
#include "app/application/wrenlowapp.h"
#include "core/foundation/defaultsstore.h"
#include "core/systemproxy/systemproxy.h"
#include "ui/mainwindow/mainwindow.h"
#include "ui/tray/trayicon.h"

#include <QApplication>
#include <QSystemTrayIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("wrenlow"));
    QApplication::setApplicationDisplayName(QStringLiteral("Wrenlow"));
    QApplication::setApplicationVersion(QStringLiteral(WRENLOW_VERSION));
    // The tray keeps the program alive after the main window closes; without a tray, closing the
    // window would leave nothing to bring it back, so the program quits then.
    QApplication::setQuitOnLastWindowClosed(!QSystemTrayIcon::isSystemTrayAvailable());

    // A tunnel that was killed may have left the desktop pointing at a proxy that is gone; one
    // that still runs keeps its settings.
    SystemProxy().recoverLeftover();

    // Storage: problems reach the tray; quitting (signals, menu, session) waits for queued saves.
    StorageProblems storageProblems(DefaultsStore::standard());
    OrderlyQuit orderlyQuit(DefaultsStore::standard());

    // Loads the catalogue and the settings and creates the VPN manager, in that order.
    WrenlowApp::shared();

    MainWindow window;
    TrayIcon tray;
    QObject::connect(&tray, &TrayIcon::openMainWindowRequested, &window, &MainWindow::present);
    QObject::connect(&tray, &TrayIcon::quitRequested, &app, &QCoreApplication::quit);
    tray.show();
    QObject::connect(&storageProblems, &StorageProblems::problemFound, &tray, &TrayIcon::showProblem);
    window.present();
    return app.exec();
}
