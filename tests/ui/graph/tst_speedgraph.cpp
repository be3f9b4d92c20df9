#include "testregistry.h"
#include "ui/graph/speedgraph.h"

#include <QImage>
#include <QPainter>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(GraphType)
Q_DECLARE_METATYPE(GraphData)

namespace {

QImage painted(GraphType type, const QByteArray &gray, const QByteArray &values)
{
    QImage image(60, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    SpeedGraph::paint(painter, image.size(), type, gray, values, Qt::transparent);
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
        const GraphType send = GraphType::send;
        QTest::newRow("gray byte 1") << send << QByteArray("\x01") << QByteArray() << 56 << 4 << gray;
        QTest::newRow("gray byte 2, rounded up") << send << QByteArray("\x02") << QByteArray() << 56 << 8 << gray;
        QTest::newRow("byte 0 draws nothing")
            << send << QByteArray(1, '\0') << QByteArray(1, '\0') << 56 << 0 << QColor();
        QTest::newRow("byte 10 fills the height") << send << QByteArray() << QByteArray("\x0a") << 56 << 32 << blue;
        QTest::newRow("large byte is cut at the edge")
            << send << QByteArray("\xff") << QByteArray() << 56 << 32 << gray;
        QTest::newRow("value bar in front of the gray one")
            << send << QByteArray("\x0a") << QByteArray("\x01") << 56 << 32 << blue;
        QTest::newRow("receive in green")
            << GraphType::receive << QByteArray() << QByteArray("\x03") << 56 << 8 << green;
        QTest::newRow("second byte one column left")
            << send << QByteArray("\x00\x05", 2) << QByteArray() << 48 << 16 << gray;
        QTest::newRow("first byte is the rightmost")
            << send << QByteArray("\x00\x05", 2) << QByteArray() << 56 << 0 << QColor();
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
        QVERIFY2(near(image.pixelColor(x, start), colour), qPrintable(image.pixelColor(x, start).name()));
    }

    void fullGraph_data()
    {
        QTest::addColumn<GraphData>("data");
        // Send gray, receive gray, receive values, send values.
        QTest::addColumn<QByteArrayList>("series");
        // Received, sent.
        QTest::addColumn<QStringList>("speeds");
        const QByteArrayList four { "ab", "cd", "ef", "gh" };
        QTest::newRow("four series") << GraphData { 2, "abcdefgh", 1024, 1536 } << four
                                     << QStringList { u"1 KB/s"_s, u"1 KB/s"_s };
        QTest::newRow("no bars, speeds still shown")
            << GraphData { 0, {}, 5242880, 0 } << QByteArrayList(4) << QStringList { u"5 MB/s"_s, u"0 B/s"_s };
        QTest::newRow("short answer, huge and negative speeds")
            << GraphData { 3, "abcdefgh", qint64(1) << 50, -5 } << four << QStringList { u"/s"_s, u"/s"_s };
    }

    void fullGraph()
    {
        QFETCH(GraphData, data);
        QFETCH(QByteArrayList, series);
        QFETCH(QStringList, speeds);
        FullGraph graph;
        graph.setGraphData(data);
        QCOMPARE((QByteArrayList { graph.sendGraph()->grayValues(), graph.receiveGraph()->grayValues(),
                     graph.receiveGraph()->values(), graph.sendGraph()->values() }),
            series);
        QCOMPARE((QStringList { graph.receivedText(), graph.sentText() }), speeds);
    }
};

WRENLOW_TEST(SpeedGraphTest)
#include "tst_speedgraph.moc"
