#include "app/settings/domainlistviewmodel.h"

#include "app/settings/settingsaccess.h"
#include "app/settings/vpnactions.h"

namespace {

QList<DomainItem> &listOf(RoutingSettings &routing, DomainListViewModel::ListType type)
{
    switch (type) {
    case DomainListViewModel::ListType::direct:
        return routing.directDomains;
    case DomainListViewModel::ListType::proxy:
        return routing.proxyDomains;
    case DomainListViewModel::ListType::block:
        break;
    }
    return routing.blockDomains;
}

} // namespace

DomainListViewModel::DomainListViewModel(
    SettingsAccess &settings, SettingsActionScheduler &scheduler, ListType type, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_scheduler(scheduler)
    , m_type(type)
{
    RoutingSettings routing = settings.settings().routing;
    m_domains = listOf(routing, type);
}

QString DomainListViewModel::title(ListType type)
{
    switch (type) {
    case ListType::direct:
        return QStringLiteral("Direct");
    case ListType::proxy:
        return QStringLiteral("Proxy");
    case ListType::block:
        break;
    }
    return QStringLiteral("Block");
}

void DomainListViewModel::setDomains(const QList<DomainItem> &domains)
{
    if (m_domains == domains)
        return;
    m_domains = domains;
    Q_EMIT domainsChanged();
}

DomainItem DomainListViewModel::addItem()
{
    // At most one empty row: the one just added.
    m_domains.removeIf([](const DomainItem &item) { return item.domain.isEmpty(); });
    DomainItem item;
    item.type = DomainRuleType::rootDomain;
    m_domains.append(item);
    Q_EMIT domainsChanged();
    return item;
}

void DomainListViewModel::removeItems(const QSet<QUuid> &ids)
{
    if (m_domains.removeIf([&ids](const DomainItem &item) { return ids.contains(item.id); }) > 0)
        Q_EMIT domainsChanged();
}

void DomainListViewModel::saveDomains()
{
    QList<DomainItem> cleaned = m_domains;
    cleaned.removeIf([](const DomainItem &item) { return item.domain.isEmpty(); });
    for (DomainItem &item : cleaned) {
        if (item.domain.startsWith(QStringLiteral("https://")))
            item.domain.remove(0, 8);
        if (item.domain.startsWith(QStringLiteral("http://")))
            item.domain.remove(0, 7);
    }
    AppSettings settings = m_settings.settings();
    listOf(settings.routing, m_type) = cleaned;
    m_settings.setSettings(settings);
    saveAndApply(m_settings, m_scheduler, VPNActions::restartBackend);
}
