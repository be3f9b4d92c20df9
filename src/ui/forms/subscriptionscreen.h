#pragma once

#include "app/catalogue/servergroup.h"
#include "ui/common/screenstack.h"

#include <QCoroTask>

#include <optional>

class Alert;
class BusyIndicator;
class GroupCollection;
class QPlainTextEdit;
class QPushButton;
class SubscriptionLoader;
class SubscriptionViewModel;

// Adds a subscription, or changes an existing one and reloads its servers. Done downloads it
// first; only a successful download changes the catalogue, and leaving the screen drops the result.
class SubscriptionScreen final : public Screen {
    Q_OBJECT

public:
    // Takes the form over; the catalogue and the loader must outlive the screen.
    SubscriptionScreen(
        SubscriptionViewModel *form, GroupCollection &groups, SubscriptionLoader &loader, QWidget *parent = nullptr);
    ~SubscriptionScreen() override;
    Q_DISABLE_COPY_MOVE(SubscriptionScreen)

    // Pushes the form for editing group onto stack; the caller may set its own title over it.
    static SubscriptionScreen *pushForEditing(
        ScreenStack &stack, const ServerGroupPtr &group, GroupCollection &groups, SubscriptionLoader &loader);

    SubscriptionViewModel &form() const { return *m_form; }
    Alert &alert() const { return *m_alert; }
    bool isSaving() const { return m_saving; }
    // Null for a form that cannot edit its group.
    QPushButton *doneButton() const { return m_done; }

Q_SIGNALS:
    // The subscription was saved: the surrounding sheet closes.
    void finished();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildForm();
    void updateDone();
    void save();
    static QCoro::Task<> runSave(QPointer<SubscriptionScreen> screen, QCoro::Task<> saving);
    void saved(const std::optional<QString> &failure);

    SubscriptionViewModel *m_form;
    GroupCollection &m_groups;
    SubscriptionLoader &m_loader;
    Alert *m_alert;
    QPlainTextEdit *m_url = nullptr;
    BusyIndicator *m_busy = nullptr;
    QPushButton *m_done = nullptr;
    bool m_saving = false;
    std::optional<QCoro::Task<>> m_saveTask;
};
