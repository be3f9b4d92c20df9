#include "ui/forms/subscriptionscreen.h"

#include "app/forms/subscriptionviewmodel.h"
#include "core/foundation/error.h"
#include "ui/common/alert.h"
#include "ui/common/statusmark.h"
#include "ui/forms/formparts.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

SubscriptionScreen::SubscriptionScreen(
    SubscriptionViewModel *form, GroupCollection &groups, SubscriptionLoader &loader, QWidget *parent)
    : Screen(parent)
    , m_form(form)
    , m_groups(groups)
    , m_loader(loader)
    , m_alert(new Alert(this))
{
    m_form->setParent(this);
    setTitle(m_form->title());
    if (m_form->isInvalid()) {
        auto *layout = new QVBoxLayout(this);
        auto *message = new QLabel(tr("Cannot edit this subscription"), this);
        message->setAlignment(Qt::AlignCenter);
        layout->addWidget(message);
        return;
    }
    buildForm();
}

SubscriptionScreen::~SubscriptionScreen()
{
    m_form->cancelSave();
}

SubscriptionScreen *SubscriptionScreen::pushForEditing(
    ScreenStack &stack, const ServerGroupPtr &group, GroupCollection &groups, SubscriptionLoader &loader)
{
    auto *screen
        = new SubscriptionScreen(new SubscriptionViewModel(SubscriptionOperations::Edit { group }), groups, loader);
    stack.push(screen);
    return screen;
}

void SubscriptionScreen::buildForm()
{
    const FormSection section = formSection(QString(), this);
    auto *urlLabel = new QLabel(tr("Subscription URL:"), section.box);
    m_url = linkEditor(tr("Subscription URL"), section.box);
    urlLabel->setBuddy(m_url);
    m_url->setPlainText(m_form->url());
    connect(m_url, &QPlainTextEdit::textChanged, this, [this] {
        m_form->setUrl(m_url->toPlainText());
        updateDone();
    });
    section.rows->addRow(urlLabel);
    section.rows->addRow(m_url);

    auto *name = new QLineEdit(m_form->name(), section.box);
    name->setAccessibleName(tr("Name (Optional)"));
    connect(name, &QLineEdit::textChanged, m_form, &SubscriptionViewModel::setName);
    section.rows->addRow(tr("Name (Optional)"), name);

    auto *autoUpdate = new QCheckBox(tr("Auto Update"), section.box);
    autoUpdate->setAccessibleName(tr("Auto Update"));
    autoUpdate->setChecked(m_form->autoUpdate());
    connect(autoUpdate, &QCheckBox::toggled, m_form, &SubscriptionViewModel::setAutoUpdate);
    section.rows->addRow(autoUpdate);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(section.box);
    layout->addStretch(1);

    m_busy = new BusyIndicator;
    m_busy->setAccessibleName(tr("Saving"));
    m_busy->setVisible(false);
    addTrailingHeaderWidget(m_busy);
    m_done = headerButton(tr("Done"));
    m_done->setDefault(true);
    connect(m_done, &QPushButton::clicked, this, &SubscriptionScreen::save);
    addTrailingHeaderWidget(m_done);
    updateDone();
    connect(this, &Screen::appeared, this, [this] {
        // The header shows every widget it takes; the indicator only belongs there while saving.
        m_busy->setVisible(m_saving);
        m_done->setDefault(true);
        m_url->setFocus();
    });
}

void SubscriptionScreen::updateDone()
{
    m_done->setEnabled(!m_saving && containsLink(m_form->url()));
}

void SubscriptionScreen::save()
{
    if (m_saving || !containsLink(m_form->url()))
        return;
    m_saving = true;
    m_busy->setVisible(true);
    updateDone();
    m_saveTask.emplace(runSave(this, m_form->save(m_groups, m_loader)));
}

QCoro::Task<> SubscriptionScreen::runSave(QPointer<SubscriptionScreen> screen, QCoro::Task<> saving)
{
    std::optional<QString> failure;
    try {
        co_await std::move(saving);
    } catch (const Error &error) {
        failure = error.description();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    // Left while saving: nobody is there to tell.
    if (screen)
        screen->saved(failure);
}

void SubscriptionScreen::saved(const std::optional<QString> &failure)
{
    m_saving = false;
    m_busy->setVisible(false);
    updateDone();
    if (failure) {
        m_alert->show(tr("Error getting subscription"), *failure);
        return;
    }
    if (ScreenStack *stack = stackOf(this); stack && stack->depth() > 1 && stack->top() == this)
        stack->pop();
    Q_EMIT finished();
}

void SubscriptionScreen::keyPressEvent(QKeyEvent *event)
{
    // Also where no dialog presses the default button: the form pushed onto the window's stack.
    if (m_done && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        if (m_done->isEnabled())
            m_done->click();
        event->accept();
        return;
    }
    Screen::keyPressEvent(event);
}
