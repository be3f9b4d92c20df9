#include "testregistry.h"
#include "ui/graph/speedgraph.h"

#include <QImage>
#include <QPainter>
#include <QTest>

Q_DECLARE_METATYPE(GraphType)
Q_DECLARE_METATYPE(GraphData)

namespace {

QImage painted(GraphType type, const QByteArray &gray, const QByteArray &values, const QColor &grid = Qt::transparent)
{
    QImage image(60, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    SpeedGraph::paint(painter, image.size(), type, gray, values, grid);
    return image;
}

// The painted rows of column x, top to bottom.
QList<int> paintedRows(const QImage &image, int x)
{
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y) {
        if (image.pixelColor(x, y).alpha() > 0)
            rows.append(y);
    }
    return rows;
}

// Dash segments of 3 rows with 1-row gaps: four points of bar each.
int barLength(const QList<int> &rows)
{
    int segments = 0;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (i == 0 || rows[i] != rows[i - 1] + 1)
            ++segments;
    }
    return 4 * segments;
}

bool near(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3
        && std::abs(a.blue() - b.blue()) <= 3 && std::abs(a.alpha() - b.alpha()) <= 3;
}

const QColor gray(133, 133, 133);
const QColor green(7, 176, 61);
const QColor blue(103, 137, 199);

} // namespace

class SpeedGraphTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bars_data()
    {
        QTest::addColumn<GraphType>("type");
        QTest::addColumn<QByteArray>("grayBytes");
        QTest::addColumn<QByteArray>("valueBytes");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("length");
        QTest::addColumn<QColor>("colour");

        QTest::newRow("gray byte 1") << GraphType::send << QByteArray("\x01") << QByteArray() << 56 << 4 << gray;
        QTest::newRow("gray byte 2, rounded up")
            << GraphType::send << QByteArray("\x02") << QByteArray() << 56 << 8 << gray;
        QTest::newRow("byte 0 draws nothing")
            << GraphType::send << QByteArray(1, '\0') << QByteArray(1, '\0') << 56 << 0 << QColor();
        QTest::newRow("byte 10 fills the height")
            << GraphType::send << QByteArray() << QByteArray("\x0a") << 56 << 32 << blue;
        QTest::newRow("large byte is cut at the edge")
            << GraphType::send << QByteArray("\xff") << QByteArray() << 56 << 32 << gray;
        QTest::newRow("value bar in front of the gray one")
            << GraphType::send << QByteArray("\x0a") << QByteArray("\x01") << 56 << 32 << blue;
        QTest::newRow("receive in green")
            << GraphType::receive << QByteArray() << QByteArray("\x03") << 56 << 8 << green;
        QTest::newRow("second byte one column left")
            << GraphType::send << QByteArray("\x00\x05", 2) << QByteArray() << 48 << 16 << gray;
        QTest::newRow("first byte is the rightmost")
            << GraphType::send << QByteArray("\x00\x05", 2) << QByteArray() << 56 << 0 << QColor();
    }

    // Lengths, colours and places of the bars as the pixels show them.
    void bars()
    {
        QFETCH(GraphType, type);
        QFETCH(QByteArray, grayBytes);
        QFETCH(QByteArray, valueBytes);
        QFETCH(int, x);
        QFETCH(int, length);
        QFETCH(QColor, colour);
        const QImage image = painted(type, grayBytes, valueBytes);
        const QList<int> rows = paintedRows(image, x);
        QCOMPARE(barLength(rows), length);
        if (length == 0)
            return;
        // Bars start at the centre line: the top edge for send, the bottom edge for receive.
        const int start = type == GraphType::send ? 0 : image.height() - 1;
        QVERIFY2(rows.contains(start), qPrintable(QStringLiteral("bar does not start at row %1").arg(start)));
        const QColor seen = image.pixelColor(x, start);
        QVERIFY2(near(seen, colour), qPrintable(seen.name(QColor::HexArgb)));
        // The stroke is 6 points wide around x and leaves the neighbouring columns' space alone.
        QVERIFY(image.pixelColor(x - 3, start).alpha() > 0);
        QVERIFY(image.pixelColor(x + 2, start).alpha() > 0);
        QCOMPARE(image.pixelColor(x - 4, start).alpha(), 0);
        QCOMPARE(image.pixelColor(x + 3, start).alpha(), 0);
    }

    // The value colour fades to 40 % at the far end of the graph.
    void gradientFades()
    {
        const QImage image = painted(GraphType::send, {}, QByteArray("\x0a"));
        const int farRow = paintedRows(image, 56).last();
        QVERIFY(image.pixelColor(56, 0).alpha() > 250);
        QVERIFY(std::abs(image.pixelColor(56, farRow).alpha() - 102) < 8);
    }

    // 60 points hold seven grid columns; a ninth byte sits wholly off the left edge.
    void gridColumns()
    {
        const QImage image = painted(GraphType::send, {}, {}, Qt::black);
        QList<int> columnsStarts;
        for (int x = 0; x < image.width(); ++x) {
            const bool here = image.pixelColor(x, 0).alpha() > 0;
            const bool before = x > 0 && image.pixelColor(x - 1, 0).alpha() > 0;
            if (here && !before)
                columnsStarts.append(x);
        }
        QCOMPARE(columnsStarts.size(), 7);
        QCOMPARE(columnsStarts.last(), 53);
        const QImage ninth = painted(GraphType::send, QByteArray(8, '\0') + QByteArray("\x0a"), {});
        for (int x = 0; x < ninth.width(); ++x)
            QCOMPARE(paintedRows(ninth, x).size(), 0);
    }

    void fullGraph_data()
    {
        QTest::addColumn<GraphData>("data");
        QTest::addColumn<QByteArray>("sendGray");
        QTest::addColumn<QByteArray>("receiveGray");
        QTest::addColumn<QByteArray>("receiveValues");
        QTest::addColumn<QByteArray>("sendValues");
        QTest::addColumn<QString>("received");
        QTest::addColumn<QString>("sent");
        QTest::newRow("four series") << GraphData { 2, QByteArray("abcdefgh"), 1024, 1536 } << QByteArray("ab")
                                     << QByteArray("cd") << QByteArray("ef") << QByteArray("gh")
                                     << QStringLiteral("1 KB/s") << QStringLiteral("1 KB/s");
        QTest::newRow("no bars, speeds still shown")
            << GraphData { 0, {}, 5242880, 0 } << QByteArray() << QByteArray() << QByteArray() << QByteArray()
            << QStringLiteral("5 MB/s") << QStringLiteral("0 B/s");
        QTest::newRow("short answer, huge and negative speeds")
            << GraphData { 3, QByteArray("abcdefgh"), qint64(1) << 50, -5 } << QByteArray("ab") << QByteArray("cd")
            << QByteArray("ef") << QByteArray("gh") << QStringLiteral("/s") << QStringLiteral("/s");
    }

    void fullGraph()
    {
        QFETCH(GraphData, data);
        QFETCH(QByteArray, sendGray);
        QFETCH(QByteArray, receiveGray);
        QFETCH(QByteArray, receiveValues);
        QFETCH(QByteArray, sendValues);
        QFETCH(QString, received);
        QFETCH(QString, sent);
        FullGraph graph;
        graph.setGraphData(data);
        QCOMPARE(graph.sendGraph()->grayValues(), sendGray);
        QCOMPARE(graph.receiveGraph()->grayValues(), receiveGray);
        QCOMPARE(graph.receiveGraph()->values(), receiveValues);
        QCOMPARE(graph.sendGraph()->values(), sendValues);
        QCOMPARE(graph.receivedText(), received);
        QCOMPARE(graph.sentText(), sent);
        QCOMPARE(graph.sizeHint().height(), 71);
    }
};

WRENLOW_TEST(SpeedGraphTest)
#include "tst_speedgraph.moc"
