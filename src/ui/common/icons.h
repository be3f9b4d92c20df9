#pragma once

#include <QColor>
#include <QIcon>

// The program's symbols. The desktop's icon theme provides them where it has them; our own
// drawings stand in otherwise, so the program looks right without a theme.
enum class IconName {
    globe,
    settings,
    add,
    remove,
    updateSubscriptions,
    refresh,
    info,
    checkmark,
    warning,
    link,
    edit,
    subscription,
    back,
    importServers,
    welcome,
    application,
    trayConnected,
    trayDisconnected,
};

// Monochrome drawings take the palette's text colour, so they suit light and dark styles.
QIcon icon(IconName name);
// Our own drawing in this colour, never the theme's: for marks whose colour means something.
QIcon tintedIcon(IconName name, const QColor &color);
