#pragma once

#include <QMainWindow>

// The main window. Closing it leaves the program running in the tray.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(MainWindow)

    // Shows the window, restores it when minimised and brings it to the front.
    void present();
};
