#pragma once

#include "core/foundation/jsoncoding.h"

#include <QByteArrayView>
#include <QMap>
#include <QString>

#include <optional>

// What a provider says about a subscription's traffic in the "subscription-userinfo" header of
// its download: "upload=<bytes>; download=<bytes>; total=<bytes>; expire=<unix time>". Any of the
// four may be missing; at least one is present.
struct SubscriptionUsage {
    std::optional<quint64> upload;
    std::optional<quint64> download;
    std::optional<quint64> total;
    // Seconds since 1970; 0 is what providers send for "never".
    std::optional<qint64> expire;

    // Uploaded and downloaded together, when either is known.
    std::optional<quint64> used() const;
    friend bool operator==(const SubscriptionUsage &, const SubscriptionUsage &) = default;
};

// The header's value, or nothing when it is malformed: a part that is not "key=value", a known
// key twice, or a value that is not a whole decimal number that fits. Unknown keys are skipped;
// keys are matched without regard to case.
std::optional<SubscriptionUsage> parseSubscriptionUserinfo(QByteArrayView header);

// "1.2 GB of 10 GB" (used of total), or "1.2 GB used", or "10 GB" with only a total; empty when
// neither is known.
QString usageAmountText(const SubscriptionUsage &usage);
// "until 5 Jan 2027" in the user's date format; empty without an expiry ("0" is none).
QString usageExpiryText(const SubscriptionUsage &usage);

// The last usage of each subscription, by its URL, as stored: {"<url>": {"upload": …, …}}.
using SubscriptionUsages = QMap<QString, SubscriptionUsage>;
Json encodeSubscriptionUsages(const SubscriptionUsages &usages);
// What does not decode is left out, entry by entry: this is shown, never needed.
SubscriptionUsages decodeSubscriptionUsages(const Json &json);
