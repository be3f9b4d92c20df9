#pragma once

#include <QString>

// The program's one reverse-DNS id: the desktop entry, the AppStream id, the icon, the autostart
// entry, the runtime directory and the log all carry it, so the desktop ties them together.
inline QString appId()
{
    return QStringLiteral(WRENLOW_APP_ID);
}

// $XDG_RUNTIME_DIR/<app id>, or the same under Qt's runtime location: the single-instance lock and
// socket and the tunnel's socket live there.
QString appRuntimeDirectory();
