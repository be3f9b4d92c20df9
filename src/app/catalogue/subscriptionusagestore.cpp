#include "app/catalogue/subscriptionusagestore.h"

#include "core/foundation/defaultsstore.h"

namespace {

const QString usageKey = QStringLiteral("subscriptionUsage");

} // namespace

SubscriptionUsageStore::SubscriptionUsageStore(DefaultsStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
{
    if (const std::optional<QByteArray> stored = m_store.data(usageKey)) {
        try {
            m_usages = decodeSubscriptionUsages(json::parse(*stored));
        } catch (const Error &) {
            // Only shown, never needed: a document that does not decode is as good as none.
        }
    }
}

std::optional<SubscriptionUsage> SubscriptionUsageStore::usage(const QString &url) const
{
    if (const auto found = m_usages.constFind(url); found != m_usages.cend())
        return *found;
    return std::nullopt;
}

void SubscriptionUsageStore::record(const QString &url, const std::optional<SubscriptionUsage> &usage)
{
    if (this->usage(url) == usage)
        return;
    if (usage)
        m_usages.insert(url, *usage);
    else
        m_usages.remove(url);
    m_store.setData(usageKey, json::serialize(encodeSubscriptionUsages(m_usages)));
    Q_EMIT usageChanged(url);
}
