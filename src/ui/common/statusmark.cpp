#include "ui/common/statusmark.h"

#include <QCoreApplication>
#include <QPainter>

QString onlineStatusText(OnlineStatus status)
{
    switch (status) {
    case OnlineStatus::online:
        return QCoreApplication::translate("StatusMark", "Online");
    case OnlineStatus::offline:
        return QCoreApplication::translate("StatusMark", "Offline");
    case OnlineStatus::unknown:
        break;
    }
    return QCoreApplication::translate("StatusMark", "Unknown");
}

QColor onlineStatusColor(OnlineStatus status)
{
    switch (status) {
    case OnlineStatus::online:
        return QColor(52, 199, 89);
    case OnlineStatus::offline:
        return QColor(255, 59, 48);
    case OnlineStatus::unknown:
        break;
    }
    return QColor(142, 142, 147);
}

void paintStatusDot(QPainter &painter, const QRectF &rect, OnlineStatus status)
{
    const qreal diameter = std::min(rect.width(), rect.height()) * 0.6;
    QRectF dot(0, 0, diameter, diameter);
    dot.moveCenter(rect.center());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(onlineStatusColor(status));
    painter.drawEllipse(dot);
    painter.restore();
}

void paintBusyArc(QPainter &painter, const QRectF &rect, const QColor &color, qreal phase)
{
    const qreal side = std::min(rect.width(), rect.height()) - 3;
    QRectF circle(0, 0, side, side);
    circle.moveCenter(rect.center());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(circle, int(-phase * 360 * 16), 270 * 16);
    painter.restore();
}

BusyIndicator::BusyIndicator(QWidget *parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 12;
        update();
    });
}

void BusyIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paintBusyArc(painter, rect(), palette().color(QPalette::WindowText), m_step / 12.0);
}

void BusyIndicator::showEvent(QShowEvent *)
{
    m_timer.start();
}

void BusyIndicator::hideEvent(QHideEvent *)
{
    m_timer.stop();
}
