#include "testregistry.h"
#include "ui/common/icons.h"

#include <QPixmap>
#include <QTest>

namespace {

// Opaque pixels of the picture: how many, and how many of them are exactly this colour.
std::pair<int, int> opaque(const QPixmap &pixmap, const QColor &colour)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int all = 0;
    int matching = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() < 255)
                continue;
            ++all;
            matching += pixel.rgb() == colour.rgb();
        }
    }
    return { all, matching };
}

} // namespace

class IconsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Drawings are made when a size is asked for; each size must come out whole, in the asked colour.
    void drawsEachSizeInItsColour()
    {
        const QColor red(0xd0, 0x20, 0x20);
        const QIcon mark = tintedIcon(IconName::checkmark, red);
        QVERIFY(!mark.isNull());
        // A tray host picks among the listed sizes.
        QVERIFY(!mark.availableSizes().isEmpty());
        for (const QSize &size : mark.availableSizes()) {
            const QPixmap pixmap = mark.pixmap(size);
            QCOMPARE(pixmap.size(), size);
            const auto [all, matching] = opaque(pixmap, red);
            QVERIFY2(all > 0 && all == matching, qPrintable(QStringLiteral("%1 px").arg(size.width())));
        }
    }

    void disabledLooksDifferentAndSharpOnHighDensity()
    {
        const QColor red(0xd0, 0x20, 0x20);
        const QIcon mark = tintedIcon(IconName::checkmark, red);
        const auto [all, matching] = opaque(mark.pixmap(QSize(24, 24), QIcon::Disabled), red);
        QVERIFY(all > 0);
        QCOMPARE(matching, 0);

        const QPixmap dense = mark.pixmap(QSize(16, 16), 2.0);
        QCOMPARE(dense.size(), QSize(32, 32));
        QCOMPARE(dense.devicePixelRatio(), 2.0);
    }
};

WRENLOW_TEST(IconsTest)
#include "tst_icons.moc"
