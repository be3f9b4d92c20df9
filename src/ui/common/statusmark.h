#pragma once

#include "core/catalogue/server.h"

#include <QColor>
#include <QString>
#include <QTimer>
#include <QWidget>

class QPainter;

// "Unknown", "Online", "Offline".
QString onlineStatusText(OnlineStatus status);
// Gray, green, red.
QColor onlineStatusColor(OnlineStatus status);
// The reachability mark: a filled circle in the status colour, centred in rect.
void paintStatusDot(QPainter &painter, const QRectF &rect, OnlineStatus status);
// A small spinning arc for work in progress; phase in [0, 1).
void paintBusyArc(QPainter &painter, const QRectF &rect, const QColor &color, qreal phase);

// The small progress indicator: spins while visible, costs nothing while hidden.
class BusyIndicator final : public QWidget {
    Q_OBJECT

public:
    explicit BusyIndicator(QWidget *parent = nullptr);
    QSize sizeHint() const override { return { 16, 16 }; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer m_timer;
    int m_step = 0;
};
