#include "ui/forms/formparts.h"

#include "ui/common/screenstack.h"

#include <QEnterEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFocusRect>

namespace {

qreal designSize(TextStyle style)
{
    switch (style) {
    case TextStyle::title2:
        return 17;
    case TextStyle::title3:
        return 15;
    case TextStyle::callout:
        return 12;
    case TextStyle::subheadline:
        return 11;
    case TextStyle::footnote:
    case TextStyle::caption:
        return 10;
    }
    return 13;
}

constexpr qreal designBodySize = 13;

} // namespace

QFont styledFont(TextStyle style, QWidget *reference)
{
    QFont font = reference->font();
    // The design's small styles are set for a 13-point body; on the desktop's smaller body they
    // would become hard to read, so they shrink less.
    const qreal factor = std::max(designSize(style) / designBodySize, 0.9);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(qRound(font.pixelSize() * factor));
    return font;
}

QFont fixedSizeFont(int pixels, QWidget *reference)
{
    QFont font = reference->font();
    font.setPixelSize(pixels);
    return font;
}

void makeSecondary(QLabel *label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
}

ScreenStack *stackOf(const QWidget *screen)
{
    for (QWidget *parent = screen->parentWidget(); parent; parent = parent->parentWidget()) {
        if (auto *stack = qobject_cast<ScreenStack *>(parent))
            return stack;
    }
    return nullptr;
}

QPushButton *headerButton(const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setAccessibleName(text);
    return button;
}

QPlainTextEdit *linkEditor(const QString &accessibleName, QWidget *parent)
{
    auto *editor = new QPlainTextEdit(parent);
    editor->setFont(fixedSizeFont(12, editor));
    editor->setFixedHeight(100);
    editor->setTabChangesFocus(true);
    editor->setAccessibleName(accessibleName);
    // Links are long words; breaking them anywhere keeps the whole link in view.
    editor->setWordWrapMode(QTextOption::WrapAnywhere);
    return editor;
}

FormSection formSection(const QString &title, QWidget *parent)
{
    auto *box = new QGroupBox(title, parent);
    auto *rows = new QFormLayout(box);
    rows->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    rows->setRowWrapPolicy(QFormLayout::DontWrapRows);
    return { box, rows };
}

NavigationRow::NavigationRow(IconName symbol, const QString &text, QWidget *parent)
    : QAbstractButton(parent)
    , m_symbol(symbol)
{
    setText(text);
    setAccessibleName(text);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize NavigationRow::sizeHint() const
{
    const int height = std::max(fontMetrics().height() + 14, 32);
    return { fontMetrics().horizontalAdvance(text()) + 80, height };
}

void NavigationRow::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void NavigationRow::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void NavigationRow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette &colors = palette();
    if (isDown() || m_hovered) {
        QColor highlight = colors.color(QPalette::Highlight);
        highlight.setAlphaF(isDown() ? 0.3 : 0.15);
        painter.setPen(Qt::NoPen);
        painter.setBrush(highlight);
        painter.drawRoundedRect(QRectF(rect()).adjusted(2, 1, -2, -1), 5, 5);
    }
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(2, 1, -2, -1);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
    const int iconSize = 18;
    const QRect iconRect(10, (height() - iconSize) / 2, iconSize, iconSize);
    // The symbols mark where each row leads; the accent colour sets them apart from the text.
    tintedIcon(m_symbol, colors.color(QPalette::Highlight)).paint(&painter, iconRect);
    painter.setPen(colors.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    const QRect textRect(iconRect.right() + 10, 0, width() - iconRect.right() - 40, height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, text());
    // The chevron: the row opens another screen.
    painter.setPen(QPen(colors.color(QPalette::PlaceholderText), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF tip(width() - 14, height() / 2.0);
    painter.drawPolyline(QPolygonF { tip + QPointF(-4, -5), tip, tip + QPointF(-4, 5) });
}
