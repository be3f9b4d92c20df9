#pragma once

#include <QDialog>

class ScreenStack;
class Screen;

// A window-modal dialog with a navigation stack of its own, the way forms and the import screens
// are presented over a window. Escape closes it, as the sheet's "Close" does.
class Sheet final : public QDialog {
    Q_OBJECT

public:
    // root becomes the first screen of the sheet's stack.
    Sheet(Screen *root, QSize idealSize, QWidget *parent);

    ScreenStack *stack() const { return m_stack; }
    QSize sizeHint() const override { return m_idealSize; }

private:
    ScreenStack *m_stack;
    QSize m_idealSize;
};
