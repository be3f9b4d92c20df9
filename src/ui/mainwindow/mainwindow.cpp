#include "ui/mainwindow/mainwindow.h"

#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

MainWindow::MainWindow(VPNManager &vpn, SystemExtensionManager &extensions, QWidget *parent)
    : QMainWindow(parent)
    , m_vpn(vpn)
    , m_extensions(extensions)
{
    setObjectName(QStringLiteral("main-window"));
    setWindowTitle(QStringLiteral("Wrenlow"));
    auto *content = new QWidget(this);
    auto *layout = new QVBoxLayout(content);
    m_status = new QLabel(content);
    m_status->setObjectName(QStringLiteral("vpn-status"));
    m_activation = new QLabel(content);
    m_activation->setObjectName(QStringLiteral("activation-status"));
    m_activation->setWordWrap(true);
    layout->addWidget(m_status);
    layout->addWidget(m_activation);
    layout->addStretch();
    setCentralWidget(content);
    resize(420, 640);

    connect(&m_vpn, &VPNManager::statusChanged, this, &MainWindow::showVPNStatus);
    connect(&m_extensions, &SystemExtensionManager::statusChanged, this, &MainWindow::showActivationStatus);
    showVPNStatus();
    showActivationStatus();
}

void MainWindow::present()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // The tunnel program is activated when the window first appears; success loads the profile.
    m_extensions.activate();
    Q_EMIT firstShown();
}

void MainWindow::showVPNStatus()
{
    m_status->setText(QStringLiteral("Proxy: ") + VPNManager::statusText(m_vpn.status()));
}

void MainWindow::showActivationStatus()
{
    const SystemExtensionLoadStatus status = m_extensions.status();
    m_activation->setText(status.message());
    m_activation->setVisible(status.kind() != SystemExtensionLoadStatus::Kind::success);
}
