#pragma once

#include "app/forms/serveraddeditviewmodel.h"
#include "ui/common/screenstack.h"

#include <QCoreApplication>
#include <QPointer>

class GroupCollection;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QMessageBox;
class Sheet;

// The server form: adds a server, completes one parsed from a URI, or edits one. Done saves it,
// steps back once when it was pushed over another screen, and asks its sheet to close.
class ServerFormScreen final : public Screen {
    Q_OBJECT

public:
    // Takes the form over; the catalogue must outlive the screen. actionsBeforeDone join the header
    // left of Done, as a sheet's Delete does.
    ServerFormScreen(ServerAddEditViewModel *form, GroupCollection &groups,
        const QList<QWidget *> &actionsBeforeDone = {}, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ServerFormScreen)

    ServerAddEditViewModel &form() const { return *m_form; }
    QPushButton *doneButton() const { return m_done; }

Q_SIGNALS:
    // Done was pressed: the surrounding sheet closes.
    void finished();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildIdentity(QLayout *layout);
    void buildAddress(QLayout *layout);
    void buildShadowsocks(QLayout *layout);
    void buildVMess(QLayout *layout);
    void buildVLESS(QLayout *layout);
    void showProtocolSection();
    void done();

    ServerAddEditViewModel *m_form;
    GroupCollection &m_groups;
    QLineEdit *m_name = nullptr;
    QButtonGroup *m_protocols = nullptr;
    QGroupBox *m_shadowsocks = nullptr;
    QGroupBox *m_vmess = nullptr;
    QGroupBox *m_vless = nullptr;
    QPushButton *m_done;
};

// The edit sheet: the server form with Close and, for manual servers, Delete after a confirmation.
class EditServerSheet final {
    Q_DECLARE_TR_FUNCTIONS(EditServerSheet)

public:
    // Opens the sheet over parent's window for editing server; it deletes itself when closed.
    static Sheet *open(const ServerPtr &server, GroupCollection &groups, QWidget *parent);
    // The confirmation the sheet's Delete opens, while it is shown.
    static QMessageBox *confirmation(Sheet *sheet);
};
