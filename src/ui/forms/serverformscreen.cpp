#include "ui/forms/serverformscreen.h"

#include "app/catalogue/groupcollection.h"
#include "ui/common/sheet.h"
#include "ui/forms/formparts.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QVBoxLayout>

using ProtocolName = ServerAddEditViewModel::ProtocolName;

namespace {

QLineEdit *textField(const QString &label, const QString &text, QWidget *parent)
{
    auto *field = new QLineEdit(text, parent);
    field->setAccessibleName(label);
    return field;
}

// A read-only VLESS row, only for a value worth showing.
void addValueRow(QFormLayout *rows, const QString &label, const QString &value)
{
    if (value.isEmpty())
        return;
    auto *shown = new QLabel(value);
    shown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    shown->setAccessibleName(label);
    rows->addRow(label, shown);
}

} // namespace

ServerFormScreen::ServerFormScreen(
    ServerAddEditViewModel *form, GroupCollection &groups, const QList<QWidget *> &actionsBeforeDone, QWidget *parent)
    : Screen(parent)
    , m_form(form)
    , m_groups(groups)
    , m_done(headerButton(tr("Done")))
{
    m_form->setParent(this);
    setTitle(m_form->serverToEdit() ? tr("Edit Server") : tr("Add Server"));

    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    buildIdentity(layout);
    buildAddress(layout);
    buildShadowsocks(layout);
    buildVMess(layout);
    buildVLESS(layout);
    layout->addStretch(1);
    showProtocolSection();

    // A small sheet must still reach every field, whatever the protocol section holds.
    auto *scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    // A subscription's server is rewritten by every refresh: its form only shows it.
    if (m_form->isReadOnly()) {
        for (QWidget *input : content->findChildren<QWidget *>()) {
            if (!qobject_cast<QLabel *>(input) && !qobject_cast<QGroupBox *>(input))
                input->setEnabled(false);
        }
    }

    m_done->setDefault(true);
    m_done->setEnabled(m_form->canSave());
    connect(m_form, &ServerAddEditViewModel::canSaveChanged, m_done, [this] { m_done->setEnabled(m_form->canSave()); });
    connect(m_done, &QPushButton::clicked, this, &ServerFormScreen::done);
    for (QWidget *action : actionsBeforeDone)
        addTrailingHeaderWidget(action);
    addTrailingHeaderWidget(m_done);
    connect(this, &Screen::appeared, this, [this] {
        m_done->setDefault(true);
        m_name->setFocus();
    });
}

void ServerFormScreen::buildIdentity(QLayout *layout)
{
    const FormSection section = formSection(QString());
    m_name = textField(tr("Name"), m_form->name(), section.box);
    connect(m_name, &QLineEdit::textChanged, m_form, &ServerAddEditViewModel::setName);
    section.rows->addRow(tr("Name"), m_name);

    auto *choices = new QWidget(section.box);
    auto *row = new QHBoxLayout(choices);
    row->setContentsMargins(0, 0, 0, 0);
    m_protocols = new QButtonGroup(this);
    for (const ProtocolName protocol : ServerAddEditViewModel::allProtocolNames) {
        auto *choice = new QRadioButton(ServerAddEditViewModel::displayText(protocol), choices);
        choice->setAccessibleName(choice->text());
        choice->setChecked(protocol == m_form->protocolName());
        m_protocols->addButton(choice, static_cast<int>(protocol));
        row->addWidget(choice);
    }
    row->addStretch(1);
    choices->setAccessibleName(tr("Protocol"));
    // Toggled, not clicked: arrow keys move the choice too.
    connect(m_protocols, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (!checked)
            return;
        m_form->setProtocolName(static_cast<ProtocolName>(id));
        showProtocolSection();
    });
    section.rows->addRow(tr("Protocol"), choices);
    layout->addWidget(section.box);
}

void ServerFormScreen::buildAddress(QLayout *layout)
{
    const FormSection section = formSection(QString());
    auto *host = textField(tr("Host"), m_form->address(), section.box);
    connect(host, &QLineEdit::textChanged, m_form, &ServerAddEditViewModel::setAddress);
    section.rows->addRow(tr("Host"), host);
    auto *port = textField(tr("Port"), m_form->port(), section.box);
    port->setInputMethodHints(Qt::ImhPreferNumbers);
    connect(port, &QLineEdit::textChanged, m_form, &ServerAddEditViewModel::setPort);
    section.rows->addRow(tr("Port"), port);
    layout->addWidget(section.box);
}

void ServerFormScreen::buildShadowsocks(QLayout *layout)
{
    const FormSection section = formSection(tr("Shadowsock settings"));
    m_shadowsocks = section.box;
    auto *cipher = new QComboBox(section.box);
    cipher->setAccessibleName(tr("Encryption"));
    for (const ShadowsocksCipher each : allShadowsocksCiphers) {
        cipher->addItem(caseName(each), static_cast<int>(each));
        if (each == m_form->shadowsocksCipher())
            cipher->setCurrentIndex(cipher->count() - 1);
    }
    connect(cipher, &QComboBox::currentIndexChanged, this, [this, cipher] {
        m_form->setShadowsocksCipher(static_cast<ShadowsocksCipher>(cipher->currentData().toInt()));
    });
    section.rows->addRow(tr("Encryption"), cipher);
    auto *password = textField(tr("Password"), m_form->shadowsocksPassword(), section.box);
    password->setEchoMode(QLineEdit::Password);
    connect(password, &QLineEdit::textChanged, m_form, &ServerAddEditViewModel::setShadowsocksPassword);
    section.rows->addRow(tr("Password"), password);
    layout->addWidget(section.box);
}

void ServerFormScreen::buildVMess(QLayout *layout)
{
    const FormSection section = formSection(tr("VMess settings"));
    m_vmess = section.box;
    auto *userId = textField(tr("UUID"), m_form->vmessUserId(), section.box);
    connect(userId, &QLineEdit::textChanged, m_form, &ServerAddEditViewModel::setVmessUserId);
    section.rows->addRow(tr("UUID"), userId);
    auto *tls = new QCheckBox(tr("Use TLS"), section.box);
    tls->setAccessibleName(tr("Use TLS"));
    tls->setChecked(m_form->vmessUseTls());
    connect(tls, &QCheckBox::toggled, m_form, &ServerAddEditViewModel::setVmessUseTls);
    section.rows->addRow(tls);
    layout->addWidget(section.box);
}

void ServerFormScreen::buildVLESS(QLayout *layout)
{
    const FormSection section = formSection(tr("VLESS settings"));
    m_vless = section.box;
    if (const auto &vless = m_form->vlessSettings()) {
        if (vless->security != u"none")
            addValueRow(section.rows, tr("Security"), vless->security);
        addValueRow(section.rows, tr("Flow"), vless->flow);
        addValueRow(section.rows, tr("SNI"), vless->sni);
        addValueRow(section.rows, tr("Fingerprint"), vless->fingerprint);
    } else {
        auto *note = new QLabel(tr("VLESS servers can only be added via a Subscription URL or a Proxy URI."));
        note->setWordWrap(true);
        note->setFont(styledFont(TextStyle::callout, note));
        makeSecondary(note);
        section.rows->addRow(note);
    }
    layout->addWidget(section.box);
}

void ServerFormScreen::showProtocolSection()
{
    const ProtocolName protocol = m_form->protocolName();
    m_shadowsocks->setVisible(protocol == ProtocolName::shadowsocks);
    m_vmess->setVisible(protocol == ProtocolName::vmess);
    m_vless->setVisible(protocol == ProtocolName::vless);
}

void ServerFormScreen::done()
{
    if (!m_form->canSave())
        return;
    m_form->save(m_groups);
    if (ScreenStack *stack = stackOf(this); stack && stack->depth() > 1)
        stack->pop();
    Q_EMIT finished();
}

void ServerFormScreen::keyPressEvent(QKeyEvent *event)
{
    // Also where no dialog presses the default button: a form pushed onto the window's stack.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (m_done->isEnabled())
            m_done->click();
        event->accept();
        return;
    }
    Screen::keyPressEvent(event);
}

Sheet *EditServerSheet::open(const ServerPtr &server, GroupCollection &groups, QWidget *parent)
{
    auto *model = new ServerAddEditViewModel(ServerOperations::Edit { server });
    // Apart from Close, so that a slip does not start a deletion.
    auto *remove = headerButton(tr("Delete"));
    remove->setEnabled(model->canDelete());
    remove->setAutoDefault(false);
    auto *form = new ServerFormScreen(model, groups, { remove });
    auto *sheet = new Sheet(form, QSize(380, 460), parent);

    auto *close = headerButton(tr("Close"));
    close->setAutoDefault(false);
    QObject::connect(close, &QPushButton::clicked, sheet, &QWidget::close);
    form->addLeadingHeaderWidget(close);

    QObject::connect(remove, &QPushButton::clicked, sheet, [sheet, form, &groups] {
        auto *confirm = new QMessageBox(QMessageBox::Warning, tr("Do you with to delete this server?"),
            tr("Do you with to delete this server?"), QMessageBox::NoButton, sheet);
        confirm->setObjectName(QStringLiteral("delete-confirmation"));
        confirm->setAttribute(Qt::WA_DeleteOnClose);
        confirm->setWindowModality(Qt::WindowModal);
        QPushButton *destroy = confirm->addButton(tr("Delete"), QMessageBox::DestructiveRole);
        // The desktop's dialogs can always be left; Escape and Cancel keep the server.
        QPushButton *keep = confirm->addButton(QMessageBox::Cancel);
        confirm->setDefaultButton(keep);
        confirm->setEscapeButton(keep);
        QObject::connect(destroy, &QPushButton::clicked, sheet, [sheet, form, &groups] {
            form->form().deleteServer(groups);
            sheet->close();
        });
        confirm->open();
    });
    QObject::connect(form, &ServerFormScreen::finished, sheet, &QWidget::close);
    sheet->open();
    return sheet;
}

QMessageBox *EditServerSheet::confirmation(Sheet *sheet)
{
    auto *box = sheet->findChild<QMessageBox *>(QStringLiteral("delete-confirmation"));
    return box && box->isVisible() ? box : nullptr;
}
