#pragma once

#include "core/catalogue/server.h"
#include "ui/common/screenstack.h"

class QFormLayout;
class QLabel;
class QPushButton;
class StatusProbe;
class StatusMark;

// A server's settings at a glance, its reachability with a button to check it again, and "Edit".
class ServerDetailsScreen final : public Screen {
    Q_OBJECT

public:
    // The probe must outlive the screen.
    ServerDetailsScreen(ServerPtr server, StatusProbe &probe, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ServerDetailsScreen)

    const ServerPtr &server() const { return m_server; }
    // "Name:" and so on, with the values shown now; "Status:" gives the status text.
    QList<std::pair<QString, QString>> rows() const;

Q_SIGNALS:
    // The server form, for editing this server.
    void editRequested(const ServerPtr &server);

private:
    void showFields();
    void showStatus();

    ServerPtr m_server;
    StatusProbe &m_probe;
    QFormLayout *m_form;
    StatusMark *m_mark;
    QLabel *m_statusText;
    QPushButton *m_check;
    QWidget *m_statusRow;
};
