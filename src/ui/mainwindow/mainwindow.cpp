#include "ui/mainwindow/mainwindow.h"

#include <QWidget>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("main-window"));
    setWindowTitle(QStringLiteral("Wrenlow"));
    setCentralWidget(new QWidget(this));
    resize(420, 640);
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
