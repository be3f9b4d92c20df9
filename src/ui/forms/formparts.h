#pragma once

#include "ui/common/icons.h"

#include <QAbstractButton>
#include <QFont>

class QFormLayout;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class ScreenStack;

// The desktop's body text size stands for the 13-point body of the design; the other text
// styles keep their proportion to it, so they follow the user's font settings.
enum class TextStyle { title2, title3, callout, subheadline, footnote, caption };
QFont styledFont(TextStyle style, QWidget *reference);
// A font of the desktop's family at a fixed size in device-independent pixels.
QFont fixedSizeFont(int pixels, QWidget *reference);
// The secondary text colour: the palette's placeholder text, which suits light and dark styles.
void makeSecondary(QLabel *label);

// The stack a screen sits on, or null while it is on none.
ScreenStack *stackOf(const QWidget *screen);

// A header button. Done-like buttons are the screen's default: Return presses them.
QPushButton *headerButton(const QString &text, QWidget *parent = nullptr);

// The multi-line editors of the forms: 12 pixels text, fixed height, Tab moves on.
QPlainTextEdit *linkEditor(const QString &accessibleName, QWidget *parent = nullptr);

// A titled section of a grouped form with its rows laid out as label and field.
struct FormSection {
    QGroupBox *box;
    QFormLayout *rows;
};
FormSection formSection(const QString &title, QWidget *parent = nullptr);

// A row of a list that leads to another screen: symbol, text and a chevron.
class NavigationRow final : public QAbstractButton {
    Q_OBJECT

public:
    NavigationRow(IconName symbol, const QString &text, QWidget *parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    IconName m_symbol;
    bool m_hovered = false;
};
