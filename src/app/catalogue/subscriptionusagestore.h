#pragma once

#include "core/catalogue/subscriptionusage.h"

#include <QObject>

class DefaultsStore;

// The last usage figures each subscription's provider sent, by subscription URL, stored under
// "subscriptionUsage" apart from the catalogue, whose stored form stays as it is.
class SubscriptionUsageStore final : public QObject {
    Q_OBJECT

public:
    // Reads what is stored; the store must outlive this object.
    explicit SubscriptionUsageStore(DefaultsStore &store, QObject *parent = nullptr);

    std::optional<SubscriptionUsage> usage(const QString &url) const;
    // What a download brought: figures, or none (no header, or a malformed one), which forgets the
    // figures kept before. Stored at once.
    void record(const QString &url, const std::optional<SubscriptionUsage> &usage);

Q_SIGNALS:
    void usageChanged(const QString &url);

private:
    DefaultsStore &m_store;
    SubscriptionUsages m_usages;
};
