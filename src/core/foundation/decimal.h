#pragma once

#include <QStringView>

#include <optional>

// A whole number written as an optional sign and ASCII digits only, within 64 bits: no blanks,
// no other digits, no "0x". What ports and counts typed or received as text are read with.
std::optional<qint64> parseDecimal(QStringView text);
