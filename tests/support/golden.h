#pragma once

#include "core/foundation/jsoncoding.h"

#include <QFile>
#include <QString>

// Exact stored and wire forms live in reviewed files under tests/, keys in their written order.
// After a deliberate change, WRENLOW_UPDATE_GOLDEN=1 rewrites them: review the difference before
// committing it.

// The file's document as the program writes it (compact), or "<missing …>". `path` is relative to
// tests/, without ".json".
inline QByteArray golden(const QString &path, const Json &actual)
{
    QFile file(QStringLiteral(WRENLOW_TESTS_DIR "/%1.json").arg(path));
    if (qEnvironmentVariableIsSet("WRENLOW_UPDATE_GOLDEN") && file.open(QIODevice::WriteOnly))
        file.write(QByteArray::fromStdString(actual.dump(2)) + '\n');
    file.close();
    if (!file.open(QIODevice::ReadOnly))
        return "<missing " + file.fileName().toUtf8() + '>';
    return json::serialize(json::parse(file.readAll()));
}

// The file's document, to decode.
inline QByteArray golden(const QString &path)
{
    QFile file(QStringLiteral(WRENLOW_TESTS_DIR "/%1.json").arg(path));
    return file.open(QIODevice::ReadOnly) ? json::serialize(json::parse(file.readAll())) : QByteArray();
}

// A table of cases kept as reviewed data, parsed as written: numbers keep the form they have there.
inline Json goldenTable(const QString &path)
{
    QFile file(QStringLiteral(WRENLOW_TESTS_DIR "/%1.json").arg(path));
    return file.open(QIODevice::ReadOnly) ? Json::parse(file.readAll().toStdString()) : Json::object();
}
