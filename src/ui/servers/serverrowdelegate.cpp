#include "ui/servers/serverrowdelegate.h"

#include "app/catalogue/catalogueitemmodel.h"
#include "ui/common/icons.h"
#include "ui/common/statusmark.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPainter>

namespace {

constexpr int leadingMargin = 6;
constexpr int trailingMargin = 8;
constexpr int markSide = 16;
constexpr int textStart = leadingMargin + markSide + 6;
constexpr int buttonSide = 22;
constexpr int buttonSpacing = 2;
// Four points above and below each row, and a little air inside it.
constexpr int rowPadding = 6;

// The system's blue, which marks the selected server.
const QColor checkmarkBlue(0, 122, 255);
const QColor warningRed(255, 59, 48);

QFont secondaryFont(const QFont &font)
{
    QFont smaller = font;
    if (font.pointSizeF() > 0)
        smaller.setPointSizeF(font.pointSizeF() * 0.88);
    else
        smaller.setPixelSize(std::max(8, font.pixelSize() * 88 / 100));
    return smaller;
}

QFont headingFont(const QFont &font)
{
    QFont bold = font;
    bold.setBold(true);
    return bold;
}

// One clock for every busy mark, so the arcs of a batch check turn together.
qreal busyPhase()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return qreal(clock.elapsed() % 960) / 960.0;
}

bool isServer(const QModelIndex &index)
{
    return index.parent().isValid();
}

QString connectText()
{
    return QCoreApplication::translate("ServerRowDelegate", "Connect");
}

} // namespace

ServerRowDelegate::ServerRowDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
    , m_refresh(icon(IconName::refresh))
    , m_info(icon(IconName::info))
    , m_checkmark(tintedIcon(IconName::checkmark, checkmarkBlue))
    , m_warning(tintedIcon(IconName::warning, warningRed))
{
}

void ServerRowDelegate::setHover(const QModelIndex &index, QPoint position)
{
    m_hovered = index;
    m_hoverPosition = position;
}

bool ServerRowDelegate::showsButtons(const QModelIndex &index) const
{
    return index.isValid() && index == m_hovered && isServer(index);
}

QRect ServerRowDelegate::buttonRect(const QStyleOptionViewItem &option, const QModelIndex &index, Button button) const
{
    const QRect row = option.rect;
    const int top = row.center().y() - buttonSide / 2 + 1;
    const QRect info(row.right() - trailingMargin - buttonSide + 1, top, buttonSide, buttonSide);
    if (button == Button::info)
        return info;
    const QRect refresh = info.translated(-buttonSide - buttonSpacing, 0);
    if (button == Button::refresh)
        return refresh;
    if (button != Button::connect || index.data(CatalogueItemModel::SelectedRole).toBool())
        return {};
    const int width = option.fontMetrics.horizontalAdvance(connectText()) + 12;
    return { refresh.left() - buttonSpacing - width, top, width, buttonSide };
}

ServerRowDelegate::Button ServerRowDelegate::buttonAt(
    const QStyleOptionViewItem &option, const QModelIndex &index, QPoint position) const
{
    if (!showsButtons(index))
        return Button::none;
    for (const Button button : { Button::connect, Button::refresh, Button::info }) {
        if (buttonRect(option, index, button).contains(position))
            return button;
    }
    return Button::none;
}

QSize ServerRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    // Every row, heading or server, is as tall as a server's two lines: the list keeps uniform
    // heights, which is what lets it scroll 50,000 rows.
    const QFontMetrics secondary(secondaryFont(option.font));
    return { option.rect.width(), option.fontMetrics.height() + secondary.height() + 2 * rowPadding };
}

void ServerRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (isServer(index))
        paintServer(painter, option, index);
    else
        paintHeading(painter, option, index);
}

void ServerRowDelegate::paintHeading(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QRect row = option.rect;
    painter->save();
    painter->fillRect(row, option.palette.color(QPalette::Window));
    painter->setPen(option.palette.color(QPalette::Mid));
    painter->drawLine(row.bottomLeft(), row.bottomRight());

    // The count goes at the end, the title takes what is left.
    const QFont secondary = secondaryFont(option.font);
    const int count = index.model()->rowCount(index);
    const QString usage = index.data(CatalogueItemModel::UsageRole).toString();
    const QString servers = tr("%n server(s)", nullptr, count);
    const QString countText = usage.isEmpty() ? servers : usage + u" · " + servers;
    const QFontMetrics secondaryMetrics(secondary);
    const int countWidth = secondaryMetrics.horizontalAdvance(countText);
    painter->setFont(secondary);
    painter->setPen(option.palette.color(QPalette::PlaceholderText));
    const QRect countRect(row.right() - trailingMargin - countWidth + 1, row.top(), countWidth, row.height());
    painter->drawText(countRect, Qt::AlignVCenter | Qt::AlignRight, countText);

    const QFont title = headingFont(option.font);
    const QFontMetrics titleMetrics(title);
    const bool failed = m_failedGroups.contains(index.data(CatalogueItemModel::IdRole).toUuid());
    const int warningSpace = failed ? markSide + 6 : 0;
    const int titleRoom = countRect.left() - 12 - (row.left() + leadingMargin + 2) - warningSpace;
    const QString text
        = titleMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, std::max(0, titleRoom));
    painter->setFont(title);
    painter->setPen(option.palette.color(QPalette::WindowText));
    const QRect titleRect(
        row.left() + leadingMargin + 2, row.top(), titleMetrics.horizontalAdvance(text), row.height());
    painter->drawText(titleRect, Qt::AlignVCenter | Qt::AlignLeft, text);
    if (failed) {
        const QRect mark(titleRect.right() + 6, row.center().y() - markSide / 2 + 1, markSide, markSide);
        m_warning.paint(painter, mark);
    }
    painter->restore();
}

void ServerRowDelegate::paintServer(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem background = option;
    background.text.clear();
    background.icon = {};
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, widget);

    const QRect row = option.rect;
    const bool highlighted = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
    const QColor text = option.palette.color(group, highlighted ? QPalette::HighlightedText : QPalette::Text);
    const QColor secondaryText = highlighted ? text : option.palette.color(group, QPalette::PlaceholderText);

    painter->save();
    const QRect markRect(row.left() + leadingMargin, row.center().y() - markSide / 2, markSide, markSide);
    if (index.data(CatalogueItemModel::SelectedRole).toBool()) {
        // Blue on the list's background; on a highlighted row the highlight is often blue itself.
        if (highlighted) {
            if (m_checkmarkHighlightedColor != text) {
                m_checkmarkHighlighted = tintedIcon(IconName::checkmark, text);
                m_checkmarkHighlightedColor = text;
            }
            m_checkmarkHighlighted.paint(painter, markRect);
        } else
            m_checkmark.paint(painter, markRect);
    }

    const bool buttons = showsButtons(index);
    int trailingStart = row.right() - trailingMargin - markSide;
    if (buttons) {
        const QRect first = buttonRect(option, index, Button::connect);
        trailingStart = first.isNull() ? buttonRect(option, index, Button::refresh).left() : first.left();
        const Button under = buttonAt(option, index, m_hoverPosition);
        const auto hoverBack = [&](Button button) {
            if (under != button)
                return;
            QColor back = text;
            back.setAlphaF(0.12);
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(back);
            painter->drawRoundedRect(QRectF(buttonRect(option, index, button)).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
        };
        for (const Button button : { Button::connect, Button::refresh, Button::info })
            hoverBack(button);
        const QIcon::Mode mode = highlighted ? QIcon::Selected : QIcon::Normal;
        const auto iconRect
            = [](const QRect &button) { return QRect(button.center().x() - 7, button.center().y() - 7, 16, 16); };
        m_refresh.paint(painter, iconRect(buttonRect(option, index, Button::refresh)), Qt::AlignCenter, mode);
        m_info.paint(painter, iconRect(buttonRect(option, index, Button::info)), Qt::AlignCenter, mode);
        if (const QRect connect = buttonRect(option, index, Button::connect); !connect.isNull()) {
            painter->setFont(option.font);
            painter->setPen(highlighted ? text : option.palette.color(group, QPalette::Link));
            painter->drawText(connect, Qt::AlignCenter, connectText());
        }
    } else {
        const QRectF status(
            row.right() - trailingMargin - markSide + 1, row.center().y() - markSide / 2, markSide, markSide);
        if (index.data(CatalogueItemModel::InProgressRole).toBool())
            paintBusyArc(*painter, status, secondaryText, busyPhase());
        else
            paintStatusDot(*painter, status, index.data(CatalogueItemModel::StatusRole).value<OnlineStatus>());
    }

    const QFont secondary = secondaryFont(option.font);
    const QFontMetrics secondaryMetrics(secondary);
    const int lines = option.fontMetrics.height() + secondaryMetrics.height();
    const int top = row.top() + (row.height() - lines) / 2;
    const int left = row.left() + textStart;
    const int room = std::max(0, trailingStart - 8 - left);
    painter->setFont(option.font);
    painter->setPen(text);
    painter->drawText(QRect(left, top, room, option.fontMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
        option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, room));
    painter->setFont(secondary);
    painter->setPen(secondaryText);
    painter->drawText(QRect(left, top + option.fontMetrics.height(), room, secondaryMetrics.height()),
        Qt::AlignLeft | Qt::AlignVCenter,
        secondaryMetrics.elidedText(index.data(CatalogueItemModel::ProtocolRole).toString(), Qt::ElideRight, room));

    if (option.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.backgroundColor = option.palette.color(group, highlighted ? QPalette::Highlight : QPalette::Base);
        style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
    painter->restore();
}

bool ServerRowDelegate::editorEvent(
    QEvent *event, QAbstractItemModel *, const QStyleOptionViewItem &option, const QModelIndex &index)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const Button button
            = mouse->button() == Qt::LeftButton ? buttonAt(option, index, mouse->position().toPoint()) : Button::none;
        m_pressed = button;
        m_pressedIndex = index;
        return button != Button::none;
    }
    case QEvent::MouseButtonRelease: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const Button pressed = std::exchange(m_pressed, Button::none);
        if (pressed == Button::none)
            return false;
        // A click is a press and a release on the same button.
        if (index != m_pressedIndex || buttonAt(option, index, mouse->position().toPoint()) != pressed)
            return true;
        switch (pressed) {
        case Button::connect:
            Q_EMIT connectClicked(index);
            break;
        case Button::refresh:
            Q_EMIT refreshClicked(index);
            break;
        case Button::info:
            Q_EMIT infoClicked(index);
            break;
        case Button::none:
            break;
        }
        return true;
    }
    default:
        return false;
    }
}
