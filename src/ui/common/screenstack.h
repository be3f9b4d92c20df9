#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

class QHBoxLayout;
class QLabel;
class QStackedWidget;
class QToolButton;

// One screen of a navigation stack: its content, the title the stack's header shows while it is on
// top, and the buttons it puts into that header.
class Screen : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString title READ title WRITE setTitle NOTIFY titleChanged)

public:
    explicit Screen(QWidget *parent = nullptr);

    QString title() const { return m_title; }
    void setTitle(const QString &title);

    // Header widgets, owned by the screen: leading ones sit after the back button (a sheet's
    // "Close"), trailing ones at the end (the screen's toolbar).
    void addLeadingHeaderWidget(QWidget *widget);
    void addTrailingHeaderWidget(QWidget *widget);
    const QList<QPointer<QWidget>> &leadingHeaderWidgets() const { return m_leading; }
    const QList<QPointer<QWidget>> &trailingHeaderWidgets() const { return m_trailing; }

Q_SIGNALS:
    void titleChanged();
    void headerChanged();
    // The screen is on screen as the top of its stack: pushed or uncovered while the stack shows, or
    // the stack's window shown again with the screen on top.
    void appeared();

private:
    QString m_title;
    QList<QPointer<QWidget>> m_leading;
    QList<QPointer<QWidget>> m_trailing;
};

// A navigation stack with a header: a back button while more than one screen is stacked, the top
// screen's title and its header buttons. Screens pushed belong to the stack; popping deletes them.
class ScreenStack final : public QWidget {
    Q_OBJECT

public:
    explicit ScreenStack(QWidget *parent = nullptr);

    // Replaces every screen by root.
    void setRoot(Screen *root);
    void push(Screen *screen);
    // Removes the top screen; the root stays.
    void pop();
    void popToRoot();
    // Screens stacked, the root included; 0 before a root is set.
    int depth() const;
    Screen *top() const;
    Screen *root() const;
    QToolButton *backButton() const { return m_back; }

Q_SIGNALS:
    void depthChanged();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showTop();
    void attachHeader();
    void detachHeader();

    QStackedWidget *m_pages;
    QToolButton *m_back;
    QLabel *m_title;
    QHBoxLayout *m_leading;
    QHBoxLayout *m_trailing;
    QPointer<Screen> m_headerOwner;
};
