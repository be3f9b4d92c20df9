#pragma once

#include <QByteArray>
#include <QString>

// The program's version, the project's version at build time.
QString tunnelVersion();

// {"protocol":1,"version":"<version>"}: what --handshake prints (without the newline).
QByteArray handshakeJson();
