#pragma once

#include "core/tunnel/vpnstatus.h"

#include <QMainWindow>

class QLabel;
class SystemExtensionManager;
class VPNManager;

// The main window. Closing it leaves the program running in the tray. Until the screens land it
// shows the tunnel's status and, while activation has not succeeded, the activation's status.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    // Both must outlive the window.
    MainWindow(VPNManager &vpn, SystemExtensionManager &extensions, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(MainWindow)

    // Shows the window, restores it when minimised and brings it to the front.
    void present();

Q_SIGNALS:
    // The window appeared for the first time; the tunnel program's activation has been requested.
    void firstShown();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showVPNStatus();
    void showActivationStatus();

    VPNManager &m_vpn;
    SystemExtensionManager &m_extensions;
    QLabel *m_status;
    QLabel *m_activation;
    bool m_shown = false;
};
