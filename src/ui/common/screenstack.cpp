#include "ui/common/screenstack.h"

#include "ui/common/icons.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QShowEvent>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

Screen::Screen(QWidget *parent)
    : QWidget(parent)
{
}

void Screen::setTitle(const QString &title)
{
    if (m_title == title)
        return;
    m_title = title;
    Q_EMIT titleChanged();
}

void Screen::addLeadingHeaderWidget(QWidget *widget)
{
    widget->setParent(this);
    widget->hide();
    m_leading.append(widget);
    Q_EMIT headerChanged();
}

void Screen::addTrailingHeaderWidget(QWidget *widget)
{
    widget->setParent(this);
    widget->hide();
    m_trailing.append(widget);
    Q_EMIT headerChanged();
}

ScreenStack::ScreenStack(QWidget *parent)
    : QWidget(parent)
    , m_pages(new QStackedWidget(this))
    , m_back(new QToolButton(this))
    , m_title(new QLabel(this))
    , m_leading(new QHBoxLayout)
    , m_trailing(new QHBoxLayout)
{
    m_back->setIcon(icon(IconName::back));
    m_back->setAutoRaise(true);
    m_back->setToolTip(tr("Back"));
    m_back->setAccessibleName(tr("Back"));
    connect(m_back, &QToolButton::clicked, this, &ScreenStack::pop);
    auto *back = new QShortcut(QKeySequence::Back, this);
    connect(back, &QShortcut::activated, this, &ScreenStack::pop);

    QFont titleFont = m_title->font();
    titleFont.setBold(true);
    m_title->setFont(titleFont);
    m_title->setAlignment(Qt::AlignCenter);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(8, 6, 8, 6);
    header->addWidget(m_back);
    header->addLayout(m_leading);
    header->addWidget(m_title, 1);
    header->addLayout(m_trailing);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(header);
    layout->addWidget(m_pages, 1);
    showTop();
}

void ScreenStack::setRoot(Screen *root)
{
    detachHeader();
    while (m_pages->count() > 0) {
        QWidget *page = m_pages->widget(m_pages->count() - 1);
        m_pages->removeWidget(page);
        page->deleteLater();
    }
    m_pages->addWidget(root);
    showTop();
    Q_EMIT depthChanged();
}

void ScreenStack::push(Screen *screen)
{
    m_pages->addWidget(screen);
    showTop();
    Q_EMIT depthChanged();
}

void ScreenStack::pop()
{
    if (m_pages->count() <= 1)
        return;
    detachHeader();
    QWidget *page = m_pages->widget(m_pages->count() - 1);
    m_pages->removeWidget(page);
    // Later: the pop may come from a button of the screen that goes.
    page->deleteLater();
    showTop();
    Q_EMIT depthChanged();
}

void ScreenStack::popToRoot()
{
    if (m_pages->count() <= 1)
        return;
    detachHeader();
    while (m_pages->count() > 1) {
        QWidget *page = m_pages->widget(m_pages->count() - 1);
        m_pages->removeWidget(page);
        page->deleteLater();
    }
    showTop();
    Q_EMIT depthChanged();
}

int ScreenStack::depth() const
{
    return m_pages->count();
}

Screen *ScreenStack::top() const
{
    return qobject_cast<Screen *>(m_pages->widget(m_pages->count() - 1));
}

Screen *ScreenStack::root() const
{
    return qobject_cast<Screen *>(m_pages->widget(0));
}

void ScreenStack::detachHeader()
{
    if (!m_headerOwner)
        return;
    disconnect(m_headerOwner, nullptr, this, nullptr);
    const auto giveBack = [this](const QList<QPointer<QWidget>> &widgets) {
        for (const QPointer<QWidget> &widget : widgets) {
            if (!widget)
                continue;
            widget->hide();
            widget->setParent(m_headerOwner);
        }
    };
    giveBack(m_headerOwner->leadingHeaderWidgets());
    giveBack(m_headerOwner->trailingHeaderWidgets());
    m_headerOwner = nullptr;
}

void ScreenStack::showTop()
{
    Screen *screen = top();
    m_back->setVisible(m_pages->count() > 1);
    if (!screen) {
        detachHeader();
        m_title->clear();
        return;
    }
    m_pages->setCurrentWidget(screen);
    attachHeader();
    if (isVisible())
        Q_EMIT screen->appeared();
}

void ScreenStack::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Restoring a minimised window is spontaneous and shows nothing new.
    if (Screen *screen = top(); screen && !event->spontaneous())
        Q_EMIT screen->appeared();
}

void ScreenStack::attachHeader()
{
    detachHeader();
    Screen *screen = top();
    m_headerOwner = screen;
    const auto attach = [](QHBoxLayout *layout, const QList<QPointer<QWidget>> &widgets) {
        for (const QPointer<QWidget> &widget : widgets) {
            if (!widget)
                continue;
            layout->addWidget(widget);
            widget->show();
        }
    };
    attach(m_leading, screen->leadingHeaderWidgets());
    attach(m_trailing, screen->trailingHeaderWidgets());
    m_title->setText(screen->title());
    connect(screen, &Screen::titleChanged, this, [this, screen] { m_title->setText(screen->title()); });
    // Widgets added later join the header at once.
    connect(screen, &Screen::headerChanged, this, &ScreenStack::attachHeader);
}
