#include "ui/common/icons.h"

#include <QApplication>
#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QPalette>
#include <QStyle>
#include <QStyleOption>

#include <array>
#include <map>
#include <optional>
#include <utility>

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
    case IconName::remove:
        return { "remove", { "list-remove", nullptr }, true };
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
        // The installed icon, unless an icon theme draws its own for the program.
        return { "wrenlow", { WRENLOW_APP_ID, nullptr }, false };
    case IconName::trayConnected:
        return { "tray-connected", { nullptr, nullptr }, true };
    case IconName::trayDisconnected:
        return { "tray-disconnected", { nullptr, nullptr }, true };
    }
    return { "add", { nullptr, nullptr }, true };
}

// Draws the SVG at the size a widget asks for, when it first asks: rendering every size of every
// icon up front cost the first window tens of milliseconds before it could appear.
class DrawnIconEngine final : public QIconEngine {
public:
    DrawnIconEngine(QString path, std::optional<QColor> tint)
        : m_path(std::move(path))
        , m_tint(tint)
    {
    }

    QIconEngine *clone() const override { return new DrawnIconEngine(*this); }
    bool isNull() override { return false; }

    // Square drawings that scale to any size.
    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return { side, side };
    }

    // What a tray host picks from; drawn only when taken.
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int side : { 16, 22, 24, 32, 48, 64, 128 })
            sizes.append(QSize(side, side));
        return sizes;
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1);
    }

    // The size is in device pixels already; the caller sets the pixmap's ratio.
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal) override
    {
        const QSize side = actualSize(size, mode, state);
        if (side.isEmpty())
            return {};
        const auto key = std::make_pair(side.width(), int(mode));
        if (const auto found = m_drawn.find(key); found != m_drawn.end())
            return found->second;
        QPixmap drawn = draw(side);
        if (!drawn.isNull() && mode != QIcon::Normal) {
            QStyleOption option;
            option.palette = QApplication::palette();
            drawn = QApplication::style()->generatedIconPixmap(mode, drawn, &option);
        }
        m_drawn.emplace(key, drawn);
        return drawn;
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1;
        QPixmap drawn = scaledPixmap((QSizeF(rect.size()) * ratio).toSize(), mode, state, ratio);
        drawn.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect.topLeft(), drawn);
    }

private:
    QPixmap draw(const QSize &size) const
    {
        QImageReader reader(m_path);
        reader.setScaledSize(size);
        QImage image = reader.read();
        if (image.isNull())
            return {};
        if (m_tint) {
            image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QPainter painter(&image);
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            painter.fillRect(image.rect(), *m_tint);
        }
        return QPixmap::fromImage(std::move(image));
    }

    QString m_path;
    std::optional<QColor> m_tint;
    std::map<std::pair<int, int>, QPixmap> m_drawn;
};

QIcon drawn(const IconInfo &info, const QColor *tint)
{
    initIconResources();
    return QIcon(new DrawnIconEngine(QStringLiteral(":/wrenlow/icons/%1.svg").arg(QLatin1String(info.file)),
        tint ? std::optional<QColor>(*tint) : std::nullopt));
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
