// Draws the application's SVG icon as the PNG sizes of the hicolor theme, for desktops and tools
// that do not read SVG.
//   wrenlow-render-icon <icon.svg> <output directory> <size>...   writes <dir>/<size>.png

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char **argv)
{
    // No display needed: the SVG plugin draws into a QImage.
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 4) {
        std::fputs("usage: wrenlow-render-icon <icon.svg> <output directory> <size>...\n", stderr);
        return 2;
    }
    const QDir output(arguments.at(2));
    for (qsizetype i = 3; i < arguments.size(); ++i) {
        const int side = arguments.at(i).toInt();
        QImageReader reader(arguments.at(1));
        reader.setScaledSize(QSize(side, side));
        const QImage image = reader.read();
        const QString path = output.filePath(arguments.at(i) + QStringLiteral(".png"));
        if (side <= 0 || image.isNull() || !image.save(path)) {
            std::fprintf(stderr, "wrenlow-render-icon: cannot draw %s at %s: %s\n", qPrintable(arguments.at(1)),
                qPrintable(arguments.at(i)), qPrintable(reader.errorString()));
            return 1;
        }
    }
    return 0;
}
