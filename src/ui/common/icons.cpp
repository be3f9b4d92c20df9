#include "ui/common/icons.h"

#include <QApplication>
#include <QImageReader>
#include <QPainter>
#include <QPalette>

#include <array>

// Outside any namespace, as the macro requires; the drawings live in a static library, which
// registers its resources only when asked.
static void initIconResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    Q_UNUSED(done)
}

namespace {

struct IconInfo {
    const char *file;
    // Tried in order; none: ours only.
    std::array<const char *, 2> themeNames;
    bool monochrome;
};

IconInfo infoOf(IconName name)
{
    switch (name) {
    case IconName::globe:
        return { "globe", { "applications-internet", "globe" }, true };
    case IconName::settings:
        return { "settings", { "preferences-system", "configure" }, true };
    case IconName::add:
        return { "add", { "list-add", nullptr }, true };
    case IconName::updateSubscriptions:
        return { "update-subscriptions", { "download", "go-bottom" }, true };
    case IconName::refresh:
        return { "refresh", { "view-refresh", nullptr }, true };
    case IconName::info:
        return { "info", { "dialog-information", "help-about" }, true };
    case IconName::checkmark:
        return { "checkmark", { nullptr, nullptr }, true };
    case IconName::warning:
        return { "warning", { nullptr, nullptr }, true };
    case IconName::link:
        return { "link", { "insert-link", nullptr }, true };
    case IconName::edit:
        return { "edit", { "document-edit", "edit-rename" }, true };
    case IconName::subscription:
        return { "subscription", { "emblem-downloads", "download" }, true };
    case IconName::back:
        return { "back", { "go-previous", nullptr }, true };
    case IconName::importServers:
        return { "import-servers", { nullptr, nullptr }, false };
    case IconName::welcome:
        return { "welcome", { nullptr, nullptr }, false };
    case IconName::application:
        return { "wrenlow", { nullptr, nullptr }, false };
    case IconName::trayConnected:
        return { "tray-connected", { nullptr, nullptr }, true };
    case IconName::trayDisconnected:
        return { "tray-disconnected", { nullptr, nullptr }, true };
    }
    return { "add", { nullptr, nullptr }, true };
}

QIcon drawn(const IconInfo &info, const QColor *tint)
{
    initIconResources();
    QIcon result;
    const QString path = QStringLiteral(":/wrenlow/icons/%1.svg").arg(QLatin1String(info.file));
    for (const int size : { 16, 22, 24, 32, 48, 64, 128 }) {
        QImageReader reader(path);
        reader.setScaledSize(QSize(size, size));
        QImage image = reader.read();
        if (image.isNull())
            continue;
        if (tint) {
            image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QPainter painter(&image);
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            painter.fillRect(image.rect(), *tint);
        }
        result.addPixmap(QPixmap::fromImage(image));
    }
    return result;
}

} // namespace

QIcon icon(IconName name)
{
    const IconInfo info = infoOf(name);
    for (const char *themeName : info.themeNames) {
        if (themeName && QIcon::hasThemeIcon(QLatin1String(themeName)))
            return QIcon::fromTheme(QLatin1String(themeName));
    }
    if (!info.monochrome)
        return drawn(info, nullptr);
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    return drawn(info, &text);
}

QIcon tintedIcon(IconName name, const QColor &color)
{
    return drawn(infoOf(name), &color);
}
