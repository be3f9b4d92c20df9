#include "app/catalogue/cataloguefiltermodel.h"

#include "app/catalogue/catalogueitemmodel.h"

CatalogueFilterModel::CatalogueFilterModel(CatalogueItemModel &catalogue, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_catalogue(catalogue)
{
    setRecursiveFilteringEnabled(true);
    setSourceModel(&catalogue);
}

void CatalogueFilterModel::setFilterText(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == m_text)
        return;
    m_text = trimmed;
    const std::array<ServerSettings, 3> protocols { ShadowsockSettings {}, VMessSettings {}, VLESSSettings {} };
    for (std::size_t i = 0; i < protocols.size(); ++i)
        m_protocolMatches[i] = protocolName(protocols[i]).contains(m_text, Qt::CaseInsensitive);
    // A whole new mapping at once: removing the hidden rows range by range costs the tree view far
    // more with thousands of scattered matches.
    invalidate();
}

bool CatalogueFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (m_text.isEmpty())
        return true;
    // Groups stay through their servers, which recursive filtering looks at.
    if (!sourceParent.isValid())
        return false;
    const ServerPtr server = m_catalogue.serverAt(m_catalogue.index(sourceRow, 0, sourceParent));
    if (!server)
        return false;
    const ServerSettings settings = server->settings();
    return m_protocolMatches[settings.index()] || server->name().contains(m_text, Qt::CaseInsensitive)
        || address(settings).contains(m_text, Qt::CaseInsensitive);
}
