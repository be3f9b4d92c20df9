#pragma once

#include "core/tunnel/tunnelmessages.h"

#include <QByteArray>
#include <QWidget>

class QLabel;
class QPainter;

enum class GraphType { receive, send };

// One bar graph of the traffic display: a faint grid, the gray bars behind and the value bars in
// front, one bar per byte, newest at the right. The receive graph is mirrored so its bars grow up
// from the centre line; the send graph's hang down from it.
class SpeedGraph final : public QWidget {
    Q_OBJECT

public:
    explicit SpeedGraph(GraphType type, QWidget *parent = nullptr);

    GraphType type() const { return m_type; }
    void setBars(QByteArray grayValues, QByteArray values);
    QByteArray grayValues() const { return m_grayValues; }
    QByteArray values() const { return m_values; }

    QSize sizeHint() const override { return { 60, 32 }; }

    // Length of a bar for byte v, in points: four per step of 0.8 v, and one step for any v > 0.
    static int barLength(quint8 value);
    static QColor valueColor(GraphType type);
    // Paints the graph into size at the painter's origin; grid is the system gray.
    static void paint(QPainter &painter, QSizeF size, GraphType type, const QByteArray &grayValues,
        const QByteArray &values, const QColor &grid);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    GraphType m_type;
    QByteArray m_grayValues;
    QByteArray m_values;
};

// The whole traffic display for one GraphData: the receive graph and speed above a centre line,
// the send graph and speed below it. Always 71 points high.
class FullGraph final : public QWidget {
    Q_OBJECT

public:
    explicit FullGraph(QWidget *parent = nullptr);

    void setGraphData(const GraphData &data);
    const GraphData &graphData() const { return m_data; }

    SpeedGraph *receiveGraph() const { return m_receive; }
    SpeedGraph *sendGraph() const { return m_send; }
    // "12 KB/s"
    QString receivedText() const;
    QString sentText() const;

private:
    GraphData m_data;
    SpeedGraph *m_receive;
    SpeedGraph *m_send;
    QLabel *m_receivedSpeed;
    QLabel *m_sentSpeed;
};
