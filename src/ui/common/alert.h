#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <QMessageBox>

// A screen's one pending message. Shown, it is a window-modal box over the screen's window with a
// title, the message and one "Close" button; closing it clears isShown and emits closed().
class Alert final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isShown READ isShown NOTIFY isShownChanged)

public:
    // The box opens over screen's window; the alert goes with the screen.
    explicit Alert(QWidget *screen);
    ~Alert() override;
    Q_DISABLE_COPY_MOVE(Alert)

    // A second message while one is shown replaces the first; the user sees the latest.
    void show(const QString &title, const QString &message);
    // As if the user pressed "Close".
    void close();

    bool isShown() const { return m_isShown; }
    QString title() const { return m_title; }
    QString message() const { return m_message; }
    // The box while shown, else null.
    QMessageBox *box() const { return m_box; }

Q_SIGNALS:
    void isShownChanged();
    // The user dismissed the message.
    void closed();

private:
    void dismissed();

    QWidget *m_screen;
    QPointer<QMessageBox> m_box;
    bool m_isShown = false;
    QString m_title;
    QString m_message;
};
