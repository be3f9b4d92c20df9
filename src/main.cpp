#include "app/application/orderlyquit.h"
#include "app/application/singleinstance.h"
#include "app/application/startupwatch.h"
#include "app/application/storageproblems.h"
#include "app/application/versiontext.h"
#include "app/application/wrenlowapp.h"
#include "app/platform/linuxextensionactivation.h"
#include "app/platform/linuxtunnelplatform.h"
#include "app/platform/loginitem.h"
#include "app/platform/tunnelprogram.h"
#include "app/settings/vpnactions.h"
#include "app/tunnel/systemextensionmanager.h"
#include "app/updates/updatechecker.h"
#include "core/foundation/appid.h"
#include "core/foundation/defaultsstore.h"
#include "core/foundation/log.h"
#include "ui/automation/uidriver.h"
#include "ui/common/icons.h"
#include "ui/mainwindow/mainwindow.h"
#include "ui/settings/settingswindow.h"
#include "ui/tray/trayicon.h"
#include "ui/updates/updateprompt.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstring>
#include <optional>

namespace {

// --help and --version are answered before the application object exists, so they work without a
// display. Anything else is left to Qt, which takes its own options (-platform, -session, ...).
std::optional<int> answerCommandLine(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("Wrenlow %s\n", qPrintable(appVersionText()));
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: wrenlow [options]\n"
                        "Sends your traffic through Shadowsocks, VMess and VLESS servers. Runs once per user:\n"
                        "a second start shows the running program's window.\n\n"
                        "Options:\n"
                        "  -h, --help     Show this help and exit.\n"
                        "  -v, --version  Show the version and exit.\n"
                        "Qt's own options, such as -platform and -style, work as in any Qt program.\n");
            return 0;
        }
    }
    return std::nullopt;
}

// A tunnel that was killed may have left the desktop pointing at a proxy that is gone; one that
// still runs keeps its settings. The desktop's tools can take seconds, so the tunnel program does
// it in a process of its own while the window comes up.
void recoverSystemProxyInBackground()
{
    if (!QProcess::startDetached(defaultTunnelProgramPath(), { QStringLiteral("--recover-system-proxy") }))
        logError(QStringLiteral("Cannot start the tunnel program to restore the system proxy settings"));
}

} // namespace

int main(int argc, char *argv[])
{
    QElapsedTimer sinceMain;
    sinceMain.start();
    QApplication::setApplicationName(QStringLiteral("wrenlow"));
    QApplication::setApplicationVersion(QStringLiteral(WRENLOW_VERSION));
    if (const std::optional<int> exitCode = answerCommandLine(argc, argv))
        return *exitCode;
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Wrenlow"));
    // Ties the windows to the installed desktop entry (Wayland's app id, the taskbar's icon).
    QGuiApplication::setDesktopFileName(appId());
    QApplication::setWindowIcon(icon(IconName::application));
    // Closing the last window is decided below: the tray may keep the program.
    QApplication::setQuitOnLastWindowClosed(false);
    const std::unique_ptr<StartupWatch> watch = StartupWatch::fromEnvironment(sinceMain);
    const auto step = [&watch](const QString &name) {
        if (watch)
            watch->stepDone(name);
    };
    step(QStringLiteral("create-application"));

    // Started again, from the launcher or a terminal: the running program shows its window.
    SingleInstance instance(SingleInstance::defaultDirectory());
    if (instance.start() == SingleInstance::Role::secondary) {
        if (instance.askPrimaryToShow(std::chrono::seconds(5)))
            return 0;
        std::fprintf(stderr, "Wrenlow is already running but does not answer.\n");
        return 1;
    }

    recoverSystemProxyInBackground();

    // The program's objects, in the order they need each other; they go, in reverse, before the
    // application object does.
    DefaultsStore store(DefaultsStore::standardDirectory());
    // Storage problems reach the tray; quitting (signals, menu, session) waits for queued saves.
    StorageProblems storageProblems(store);
    OrderlyQuit orderlyQuit(store);
    LinuxTunnelPlatform platform(store);
    // Loads the settings and creates the VPN manager; the catalogue is decoded on a worker thread,
    // then the connect-on-start check runs.
    WrenlowApp model(store, platform, WrenlowApp::CatalogueLoading::inBackground);
    step(QStringLiteral("load-model"));
    SettingsActionScheduler scheduler(model, model.groups(), model.vpn());
    LinuxExtensionActivation activation(defaultTunnelProgramPath());
    // A successful activation loads the tunnel profile: a tunnel that already runs is found, and
    // the connect-on-start server is connected to.
    SystemExtensionManager extensions(activation, [&model] { model.loadTunnelProfile(); });

    UpdateChecker updates(UpdateChecker::builtInFeedUrl(), QApplication::applicationVersion());
    UpdatePrompt updatePrompt(updates);

    MainWindow window(model.groups(), model.vpn(), extensions, model, model.subscriptions(),
        model.isCatalogueLoaded() ? MainWindow::Catalogue::inPlace : MainWindow::Catalogue::loading);
    QObject::connect(&model, &WrenlowApp::catalogueLoaded, &window, &MainWindow::catalogueInPlace);
    window.setUsages(&model.usages());
    TrayIcon tray(model.vpn(), model.groups(), updates, [&model] { return model.connect(); });
    QObject::connect(&tray, &TrayIcon::openMainWindowRequested, &window, &MainWindow::present);
    QObject::connect(&instance, &SingleInstance::showRequested, &window, &MainWindow::present);
    QObject::connect(&tray, &TrayIcon::quitRequested, &app, &QCoreApplication::quit);
    // Made when first asked for and gone when closed: a new window starts at its first page.
    LoginItem loginItem = LoginItem::forCurrentUser();
    QPointer<SettingsWindow> settingsWindow;
    const auto openSettings = [&] {
        if (!settingsWindow) {
            settingsWindow
                = new SettingsWindow({ model, scheduler, loginItem, model.groups(), model.subscriptions(), model.vpn(),
                    &model.usages(), appVersionText(), transparentProxyRequirement(defaultTunnelProgramPath()) });
            settingsWindow->setAttribute(Qt::WA_DeleteOnClose);
        }
        settingsWindow->present();
    };
    QObject::connect(&window, &MainWindow::settingsRequested, &app, openSettings);
    QObject::connect(&tray, &TrayIcon::settingsRequested, &app, openSettings);
    // With the window closed the tray icon is what is left of the program. Without a tray, or with
    // nothing in the catalogue to connect to from the tray, the program ends with its window.
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, [&model] {
        if (!QSystemTrayIcon::isSystemTrayAvailable() || (model.isCatalogueLoaded() && model.groups().isEmpty()))
            QCoreApplication::quit();
    });
    if (watch) {
        QObject::connect(&window, &MainWindow::firstShown, watch.get(), &StartupWatch::windowShown);
        QObject::connect(&model, &WrenlowApp::catalogueLoaded, watch.get(),
            [&watch] { watch->stepDone(QStringLiteral("catalogue-in-place")); });
    }
    step(QStringLiteral("create-windows"));
    // Only for end-to-end tests, which drive the program over it.
    const std::unique_ptr<UiDriver> driver = UiDriver::fromEnvironment();
    tray.show();
    QObject::connect(&storageProblems, &StorageProblems::problemFound, &tray, &TrayIcon::showProblem);
    window.present();
    const int exitCode = app.exec();
    // It uses the objects above, which go next.
    delete settingsWindow;
    return exitCode;
}
