#include "ui/common/sheet.h"

#include "ui/common/screenstack.h"

#include <QVBoxLayout>

Sheet::Sheet(Screen *root, QSize idealSize, QWidget *parent)
    : QDialog(parent)
    , m_stack(new ScreenStack(this))
    , m_idealSize(idealSize)
{
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_stack);
    m_stack->setRoot(root);
    connect(root, &Screen::titleChanged, this, [this, root] { setWindowTitle(root->title()); });
    setWindowTitle(root->title());
    resize(idealSize);
}
