#pragma once

#include "core/catalogue/errors.h"
#include "core/catalogue/server.h"

#include <QList>
#include <QString>

// One ss://, vmess:// or vless:// URI to a new subscription server; throws ProxyURIParseError.
ServerPtr parseProxyURI(const QString &text);

// Lines of URIs to servers in line order; bad lines are logged and skipped.
// Throws SubscriptionError when no line gives a server.
QList<ServerPtr> parseSubscriptionText(const QString &text);

// A downloaded subscription: either the URI lines themselves or their base64.
// Throws SubscriptionError, or UndecodableContentError when the base64 holds no UTF-8 text.
QList<ServerPtr> parseSubscriptionBody(const QString &text);
