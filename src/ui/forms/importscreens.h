#pragma once

#include "ui/common/screenstack.h"

#include <QCoreApplication>

class Alert;
class GroupCollection;
class QPlainTextEdit;
class QPushButton;
class Sheet;
class SubscriptionLoader;

// The chooser at the root of the import sheet: subscription, proxy URI or a server typed in.
class ImportServersScreen final : public Screen {
    Q_OBJECT

public:
    // Both must outlive the screen.
    ImportServersScreen(GroupCollection &groups, SubscriptionLoader &loader, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ImportServersScreen)

Q_SIGNALS:
    // Close was pressed, or a form this screen led to was finished.
    void closeRequested();

private:
    void push(Screen *screen);

    GroupCollection &m_groups;
    SubscriptionLoader &m_loader;
};

// A pasted proxy URI: Next parses it and continues in the server form.
class AddProxyByURIScreen final : public Screen {
    Q_OBJECT

public:
    explicit AddProxyByURIScreen(GroupCollection &groups, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(AddProxyByURIScreen)

    Alert &alert() const { return *m_alert; }
    QPushButton *nextButton() const { return m_next; }

Q_SIGNALS:
    // The server form it led to was finished.
    void finished();

private:
    void updateNext();
    void next();

    GroupCollection &m_groups;
    Alert *m_alert;
    QPlainTextEdit *m_uri;
    QPushButton *m_next;
};

// Reading servers from a QR code is not supported on the desktop; nothing leads here yet.
class ScanQRCodeScreen final : public Screen {
    Q_OBJECT

public:
    explicit ScanQRCodeScreen(QWidget *parent = nullptr);
};

// The import sheet over a window: the chooser and the screens it leads to.
class AddServerSheet final {
    Q_DECLARE_TR_FUNCTIONS(AddServerSheet)

public:
    // Opens a fresh sheet over parent's window; it deletes itself when closed. Both must outlive it.
    static Sheet *open(GroupCollection &groups, SubscriptionLoader &loader, QWidget *parent);
};
