#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

// Base64 as proxy URIs and subscriptions use it. Every decoder returns nullopt for text it does
// not accept; none of them skips white space, because a line break must keep a subscription from
// being taken for base64.
namespace base64 {

// The text followed by "=" up to the next multiple of 4 characters.
QString padded(QStringView text);

// Standard alphabet ("+", "/"), length a multiple of 4, "=" only as one or two trailing pad characters.
std::optional<QByteArray> decodeStrict(QStringView text);

// decodeStrict(padded(text)) without copying the text, which may be a whole subscription.
std::optional<QByteArray> decodeStrictPadded(QStringView text);

// The standard or the URL-safe alphabet ("-", "_"), with or without trailing padding; when padding is
// present it must complete the last group.
std::optional<QByteArray> decodeLenient(QStringView text);

} // namespace base64
