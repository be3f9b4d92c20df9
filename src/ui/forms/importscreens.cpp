#include "ui/forms/importscreens.h"

#include "app/forms/serveraddeditviewmodel.h"
#include "app/forms/subscriptionviewmodel.h"
#include "core/catalogue/proxyuriparser.h"
#include "core/foundation/error.h"
#include "ui/common/alert.h"
#include "ui/common/sheet.h"
#include "ui/forms/formparts.h"
#include "ui/forms/serverformscreen.h"
#include "ui/forms/subscriptionscreen.h"

#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel *sectionHeading(const QString &text)
{
    auto *heading = new QLabel(text);
    QFont font = styledFont(TextStyle::subheadline, heading);
    font.setBold(true);
    heading->setFont(font);
    makeSecondary(heading);
    heading->setContentsMargins(10, 6, 0, 0);
    return heading;
}

// The rows of one section, framed together as a list's group.
QFrame *sectionRows(const QList<QWidget *> &rows)
{
    auto *frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setBackgroundRole(QPalette::Base);
    frame->setAutoFillBackground(true);
    auto *layout = new QVBoxLayout(frame);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(0);
    for (QWidget *row : rows)
        layout->addWidget(row);
    return frame;
}

} // namespace

ImportServersScreen::ImportServersScreen(GroupCollection &groups, SubscriptionLoader &loader, QWidget *parent)
    : Screen(parent)
    , m_groups(groups)
    , m_loader(loader)
{
    auto *symbol = new QLabel;
    symbol->setPixmap(icon(IconName::importServers).pixmap(QSize(40, 40)));
    symbol->setAlignment(Qt::AlignCenter);
    auto *title = new QLabel(tr("Add Servers"));
    QFont titleFont = styledFont(TextStyle::title3, title);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    auto *advice = new QLabel(tr("Check with your proxy provider \nfor the best way to import your servers."));
    advice->setAlignment(Qt::AlignCenter);

    auto *subscription = new NavigationRow(IconName::subscription, tr("Subscription URL"));
    connect(subscription, &NavigationRow::clicked, this, [this] {
        push(new SubscriptionScreen(new SubscriptionViewModel(SubscriptionOperations::New {}), m_groups, m_loader));
    });
    auto *uri = new NavigationRow(IconName::link, tr("Proxy URI"));
    connect(uri, &NavigationRow::clicked, this, [this] { push(new AddProxyByURIScreen(m_groups)); });
    auto *manual = new NavigationRow(IconName::edit, tr("Server"));
    connect(manual, &NavigationRow::clicked, this,
        [this] { push(new ServerFormScreen(new ServerAddEditViewModel(ServerOperations::New {}), m_groups)); });

    auto *footer = new QLabel(tr("<b>Important:</b> information about servers and subscriptions is stored locally on "
                                 "the device and will not be shared with Wrenlow or any other parties."));
    footer->setTextFormat(Qt::RichText);
    footer->setWordWrap(true);
    footer->setFont(styledFont(TextStyle::footnote, footer));
    makeSecondary(footer);
    footer->setContentsMargins(10, 0, 10, 0);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 12);
    layout->addWidget(symbol);
    layout->addWidget(title);
    layout->addWidget(advice);
    layout->addSpacing(8);
    layout->addWidget(sectionHeading(tr("Auto import")));
    layout->addWidget(sectionRows({ subscription, uri }));
    layout->addWidget(sectionHeading(tr("Manual entry")));
    layout->addWidget(sectionRows({ manual }));
    layout->addWidget(footer);
    layout->addStretch(1);

    auto *close = headerButton(tr("Close"));
    connect(close, &QPushButton::clicked, this, &ImportServersScreen::closeRequested);
    addLeadingHeaderWidget(close);
}

void ImportServersScreen::push(Screen *screen)
{
    // A finished form closes the whole sheet.
    if (auto *form = qobject_cast<ServerFormScreen *>(screen))
        connect(form, &ServerFormScreen::finished, this, &ImportServersScreen::closeRequested);
    else if (auto *subscription = qobject_cast<SubscriptionScreen *>(screen))
        connect(subscription, &SubscriptionScreen::finished, this, &ImportServersScreen::closeRequested);
    else if (auto *uri = qobject_cast<AddProxyByURIScreen *>(screen))
        connect(uri, &AddProxyByURIScreen::finished, this, &ImportServersScreen::closeRequested);
    if (ScreenStack *stack = stackOf(this))
        stack->push(screen);
    else
        delete screen;
}

AddProxyByURIScreen::AddProxyByURIScreen(GroupCollection &groups, QWidget *parent)
    : Screen(parent)
    , m_groups(groups)
    , m_alert(new Alert(this))
    , m_uri(linkEditor(tr("Proxy URI")))
    , m_next(headerButton(tr("Next")))
{
    setTitle(tr("Add Server"));
    const FormSection section = formSection(QString(), this);
    auto *label = new QLabel(tr("Proxy URI"), section.box);
    label->setBuddy(m_uri);
    section.rows->addRow(label);
    section.rows->addRow(m_uri);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(section.box);
    layout->addStretch(1);

    m_next->setDefault(true);
    connect(m_uri, &QPlainTextEdit::textChanged, this, &AddProxyByURIScreen::updateNext);
    connect(m_next, &QPushButton::clicked, this, &AddProxyByURIScreen::next);
    addTrailingHeaderWidget(m_next);
    updateNext();
    connect(this, &Screen::appeared, this, [this] {
        // Next continues from the chooser only; deeper in a stack the step would not fit.
        const ScreenStack *stack = stackOf(this);
        m_next->setVisible(stack && stack->depth() == 2);
        m_next->setDefault(true);
        m_uri->setFocus();
    });
}

void AddProxyByURIScreen::updateNext()
{
    m_next->setEnabled(containsLink(m_uri->toPlainText()));
}

void AddProxyByURIScreen::next()
{
    m_alert->close();
    const QString text = m_uri->toPlainText();
    if (!containsLink(text))
        return;
    ServerPtr server;
    try {
        server = parseProxyURI(text);
    } catch (const Error &error) {
        m_alert->show(tr("Cannot parse proxy URI"), error.description());
        return;
    }
    auto *form
        = new ServerFormScreen(new ServerAddEditViewModel(ServerOperations::NewFromTemplate { server }), m_groups);
    connect(form, &ServerFormScreen::finished, this, &AddProxyByURIScreen::finished);
    if (ScreenStack *stack = stackOf(this))
        stack->push(form);
    else
        delete form;
}

ScanQRCodeScreen::ScanQRCodeScreen(QWidget *parent)
    : Screen(parent)
{
    auto *layout = new QVBoxLayout(this);
    auto *message = new QLabel(tr("Not supported on this device"), this);
    message->setAlignment(Qt::AlignCenter);
    layout->addWidget(message);
}

Sheet *AddServerSheet::open(GroupCollection &groups, SubscriptionLoader &loader, QWidget *parent)
{
    auto *chooser = new ImportServersScreen(groups, loader);
    auto *sheet = new Sheet(chooser, QSize(380, 420), parent);
    sheet->setWindowTitle(tr("Add Servers"));
    QObject::connect(chooser, &ImportServersScreen::closeRequested, sheet, &QWidget::close);
    sheet->open();
    return sheet;
}
