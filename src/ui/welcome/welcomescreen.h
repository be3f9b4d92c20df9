#pragma once

#include "ui/common/screenstack.h"

class QPushButton;

// The window's first screen while nothing is selected: what the program is, and the way to add servers.
class WelcomeScreen final : public Screen {
    Q_OBJECT

public:
    explicit WelcomeScreen(QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(WelcomeScreen)

    QPushButton *addServersButton() const { return m_addServers; }

Q_SIGNALS:
    // The window opens the import sheet with a fresh stack of its own.
    void addServersRequested();

protected:
    void changeEvent(QEvent *event) override;

private:
    // The button is filled with the accent colour, as the one thing to do here.
    void paintButtonProminent();

    QPushButton *m_addServers;
};
