#include "ui/common/toggleswitch.h"

#include <QPainter>

ToggleSwitch::ToggleSwitch(QWidget *parent)
    : QAbstractButton(parent)
{
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ToggleSwitch::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    const qreal radius = track.height() / 2;
    QColor trackColor = isChecked() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid);
    if (!isEnabled())
        trackColor.setAlphaF(0.4f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(trackColor);
    painter.drawRoundedRect(track, radius, radius);

    const qreal knobSide = track.height() - 4;
    QRectF knob(0, 0, knobSide, knobSide);
    const qreal knobX = isChecked() ? track.right() - 2 - knobSide : track.left() + 2;
    knob.moveTopLeft(QPointF(knobX, track.top() + 2));
    QColor knobColor = palette().color(QPalette::Light);
    knobColor.setAlpha(255);
    if (!isEnabled())
        knobColor = palette().color(QPalette::Disabled, QPalette::Button);
    painter.setBrush(knobColor);
    painter.setPen(QPen(palette().color(QPalette::Shadow), 0.5));
    painter.drawEllipse(knob);

    if (hasFocus()) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
        painter.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), radius, radius);
    }
}
