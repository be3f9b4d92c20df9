#include "ui/tray/trayicon.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace {

// Drawn rather than loaded so the tray always has an icon, whatever theme the desktop uses.
QIcon disconnectedIcon()
{
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x55, 0x5a, 0x64), 6));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QRectF(8, 8, 48, 48));
    return QIcon(pixmap);
}

} // namespace

TrayIcon::TrayIcon(QObject *parent)
    : QObject(parent)
    , m_menu(new QMenu)
    , m_icon(new QSystemTrayIcon(disconnectedIcon(), this))
{
    // QMenu is a widget and cannot take a QObject parent; the destructor deletes it.
    auto *open = m_menu->addAction(QStringLiteral("Open Wrenlow"));
    connect(open, &QAction::triggered, this, &TrayIcon::openMainWindowRequested);
    m_menu->addSeparator();
    auto *quit = m_menu->addAction(QStringLiteral("Quit"));
    connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);

    m_icon->setToolTip(QStringLiteral("Wrenlow"));
    m_icon->setContextMenu(m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            Q_EMIT openMainWindowRequested();
    });
}

TrayIcon::~TrayIcon()
{
    delete m_menu;
}

void TrayIcon::show()
{
    m_icon->show();
}

void TrayIcon::showProblem(const QString &title, const QString &message)
{
    m_icon->showMessage(title, message, QSystemTrayIcon::Warning);
}
