#pragma once

#include <QObject>

class QAction;
class QMenu;
class QSystemTrayIcon;

// The program's presence in the system tray: the icon and its menu.
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(QObject *parent = nullptr);
    ~TrayIcon() override;
    Q_DISABLE_COPY_MOVE(TrayIcon)

    QMenu *menu() const { return m_menu; }
    void show();
    // A problem the user should know of, as a notification beside the icon.
    void showProblem(const QString &title, const QString &message);

Q_SIGNALS:
    void openMainWindowRequested();
    void quitRequested();

private:
    QMenu *m_menu;
    QSystemTrayIcon *m_icon;
};
