#include "ui/graph/speedgraph.h"

#include "core/foundation/bytecount.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr int graphWidth = 60;
constexpr int graphHeight = 32;
constexpr int centreLineHeight = 7;
constexpr int columnStep = 8;
constexpr qreal strokeWidth = 6;

// Every stroke shows as 3-point segments with 1-point gaps; Qt counts dashes in pen widths.
QPen dashedPen(const QBrush &brush)
{
    QPen pen(brush, strokeWidth, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    pen.setDashPattern({ 3 / strokeWidth, 1 / strokeWidth });
    pen.setDashOffset(0);
    return pen;
}

QLinearGradient fading(const QColor &color, qreal height)
{
    QLinearGradient gradient(0, 0, 0, height);
    QColor faded = color;
    faded.setAlphaF(0.4f);
    gradient.setColorAt(0, color);
    gradient.setColorAt(1, faded);
    return gradient;
}

void drawBars(QPainter &painter, QSizeF size, const QByteArray &bytes, const QBrush &brush)
{
    painter.setPen(dashedPen(brush));
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const int length = SpeedGraph::barLength(quint8(bytes[i]));
        if (length == 0)
            continue;
        const qreal x = size.width() - 4 - columnStep * qreal(i);
        // Bars beyond the left edge would only cost time.
        if (x + strokeWidth / 2 <= 0)
            break;
        painter.drawLine(QPointF(x, 0), QPointF(x, length));
    }
}

QColor systemGray(const QWidget &widget)
{
    return widget.palette().color(QPalette::Mid);
}

// The thin line between the two graphs.
class CentreLine final : public QWidget {
public:
    explicit CentreLine(QWidget *parent)
        : QWidget(parent)
    {
        setFixedHeight(centreLineHeight);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(QPen(systemGray(*this), 1));
        const qreal y = height() / 2.0;
        painter.drawLine(QPointF(0, y), QPointF(width(), y));
    }
};

QLabel *smallLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    // Points here are device-independent pixels, as everywhere in the program's sizes.
    font.setPixelSize(11);
    label->setFont(font);
    return label;
}

QString speedText(qint64 bytesPerSecond)
{
    return formatByteCount(bytesPerSecond) + QStringLiteral("/s");
}

} // namespace

SpeedGraph::SpeedGraph(GraphType type, QWidget *parent)
    : QWidget(parent)
    , m_type(type)
{
    setFixedSize(graphWidth, graphHeight);
    setAttribute(Qt::WA_TranslucentBackground);
}

void SpeedGraph::setBars(QByteArray grayValues, QByteArray values)
{
    if (grayValues == m_grayValues && values == m_values)
        return;
    m_grayValues = std::move(grayValues);
    m_values = std::move(values);
    update();
}

int SpeedGraph::barLength(quint8 value)
{
    if (value == 0)
        return 0;
    return 4 * std::max(1, int(std::lround(0.8 * value)));
}

QColor SpeedGraph::valueColor(GraphType type)
{
    return type == GraphType::receive ? QColor(7, 176, 61) : QColor(103, 137, 199);
}

void SpeedGraph::paint(QPainter &painter, QSizeF size, GraphType type, const QByteArray &grayValues,
    const QByteArray &values, const QColor &grid)
{
    painter.save();
    painter.setClipRect(QRectF(QPointF(0, 0), size));
    if (type == GraphType::receive) {
        // Mirrored inside its own height, so the bars grow upward.
        painter.translate(0, size.height());
        painter.scale(1, -1);
    }
    QColor gridColor = grid;
    gridColor.setAlphaF(grid.alphaF() * 0.2f);
    painter.setPen(dashedPen(gridColor));
    const int columns = int(size.width()) / columnStep;
    for (int i = 0; i < columns; ++i) {
        const qreal x = size.width() - 4 - columnStep * i;
        painter.drawLine(QPointF(x, 0), QPointF(x, size.height()));
    }
    drawBars(painter, size, grayValues, fading(QColor(133, 133, 133), size.height()));
    drawBars(painter, size, values, fading(valueColor(type), size.height()));
    painter.restore();
}

void SpeedGraph::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paint(painter, size(), m_type, m_grayValues, m_values, systemGray(*this));
}

FullGraph::FullGraph(QWidget *parent)
    : QWidget(parent)
    , m_receive(new SpeedGraph(GraphType::receive, this))
    , m_send(new SpeedGraph(GraphType::send, this))
{
    setFixedHeight(2 * graphHeight + centreLineHeight);
    setAccessibleName(tr("Traffic"));

    const auto stats = [this](const QString &title, QLabel *&speed) {
        auto *box = new QWidget(this);
        auto *layout = new QVBoxLayout(box);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        QLabel *heading = smallLabel(title, box);
        heading->setForegroundRole(QPalette::PlaceholderText);
        speed = smallLabel(speedText(0), box);
        layout->addWidget(heading);
        layout->addWidget(speed);
        // Room for the widest speed, so both graphs stay one above the other as the texts change.
        box->setMinimumWidth(speed->fontMetrics().horizontalAdvance(QStringLiteral("1023 KB/s")) + 4);
        return box;
    };
    const auto row = [](QWidget *graph, QWidget *stats, Qt::Alignment alignment) {
        auto *layout = new QHBoxLayout;
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(16);
        layout->addWidget(graph, 0, alignment);
        layout->addWidget(stats, 0, alignment);
        return layout;
    };

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(row(m_receive, stats(tr("Received"), m_receivedSpeed), Qt::AlignTop));
    layout->addWidget(new CentreLine(this));
    layout->addLayout(row(m_send, stats(tr("Sent"), m_sentSpeed), Qt::AlignBottom));
    m_receivedSpeed->setObjectName(QStringLiteral("received-speed"));
    m_sentSpeed->setObjectName(QStringLiteral("sent-speed"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void FullGraph::setGraphData(const GraphData &data)
{
    m_data = data;
    // Four series of n bytes; a short answer is cut to the whole series it holds.
    const qsizetype n = std::clamp<qint64>(data.dataSize, 0, data.graphData.size() / 4);
    const QByteArray &bytes = data.graphData;
    m_send->setBars(bytes.mid(0, n), bytes.mid(3 * n, n));
    m_receive->setBars(bytes.mid(n, n), bytes.mid(2 * n, n));
    m_receivedSpeed->setText(speedText(data.received));
    m_sentSpeed->setText(speedText(data.sent));
}

QString FullGraph::receivedText() const
{
    return m_receivedSpeed->text();
}

QString FullGraph::sentText() const
{
    return m_sentSpeed->text();
}
