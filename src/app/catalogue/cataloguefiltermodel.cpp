#include "app/catalogue/cataloguefiltermodel.h"

#include "app/catalogue/catalogueitemmodel.h"

CatalogueFilterModel::CatalogueFilterModel(CatalogueItemModel &catalogue, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_catalogue(catalogue)
{
    // Connected before the proxy's own handlers, which look at the changed rows right away: the
    // texts of a changed group must be gone by then.
    connect(&catalogue, &QAbstractItemModel::rowsAboutToBeInserted, this,
        [this](const QModelIndex &parent) { forgetGroupAt(parent); });
    connect(&catalogue, &QAbstractItemModel::rowsAboutToBeRemoved, this,
        [this](const QModelIndex &parent, int first, int last) {
            if (parent.isValid())
                forgetGroupAt(parent);
            else
                forgetGroupsAt(first, last);
        });
    connect(&catalogue, &QAbstractItemModel::dataChanged, this, &CatalogueFilterModel::serversChanged);
    // Texts are kept by group id, which a move or a new layout does not change.

    setRecursiveFilteringEnabled(true);
    setSourceModel(&catalogue);

    m_prepare.setSingleShot(true);
    m_prepare.setInterval(0);
    connect(&m_prepare, &QTimer::timeout, this, &CatalogueFilterModel::prepareOneGroup);
    m_prepare.start();
}

void CatalogueFilterModel::prepareOneGroup()
{
    for (int row = 0; row < m_catalogue.rowCount(); ++row) {
        const ServerGroupPtr group = m_catalogue.groupAt(m_catalogue.index(row, 0));
        const auto found = m_searchTexts.constFind(group->id());
        if (found == m_searchTexts.cend() || found->size() != std::size_t(group->servers().size())) {
            searchTexts(*group);
            m_prepare.start();
            return;
        }
    }
}

void CatalogueFilterModel::setFilterText(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == m_text)
        return;
    m_text = trimmed;
    m_folded = trimmed.toCaseFolded();
    const std::array<ServerSettings, 3> protocols { ShadowsockSettings {}, VMessSettings {}, VLESSSettings {} };
    for (std::size_t i = 0; i < protocols.size(); ++i)
        m_protocolMatches[i] = protocolName(protocols[i]).contains(m_text, Qt::CaseInsensitive);
    // A whole new mapping at once: removing the hidden rows range by range costs the tree view far
    // more with thousands of scattered matches.
    invalidate();
}

CatalogueFilterModel::SearchText CatalogueFilterModel::searchText(const Server &server)
{
    const ServerSettings settings = server.settings();
    // The line break keeps a text from matching across name and address.
    return { QString(server.name() + u'\n' + address(settings)).toCaseFolded(), settings.index() };
}

const std::vector<CatalogueFilterModel::SearchText> &CatalogueFilterModel::searchTexts(const ServerGroup &group) const
{
    std::vector<SearchText> &texts = m_searchTexts[group.id()];
    if (texts.size() != std::size_t(group.servers().size())) {
        texts.clear();
        texts.reserve(group.servers().size());
        for (const ServerPtr &server : group.servers())
            texts.push_back(searchText(*server));
    }
    return texts;
}

void CatalogueFilterModel::serversChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    // A status answer changes nothing searched, but a rename or an edit does; renewing a few rows
    // costs less than telling them apart.
    if (m_searchTexts.isEmpty() || !topLeft.parent().isValid())
        return;
    const ServerGroupPtr group = m_catalogue.groupAt(topLeft.parent());
    if (!group)
        return;
    const auto found = m_searchTexts.find(group->id());
    if (found == m_searchTexts.end() || found->size() != std::size_t(group->servers().size()))
        return;
    for (int row = topLeft.row(); row <= bottomRight.row() && row < group->servers().size(); ++row)
        (*found)[std::size_t(row)] = searchText(*group->servers().at(row));
}

void CatalogueFilterModel::forgetGroupAt(const QModelIndex &sourceParent)
{
    if (m_searchTexts.isEmpty() || !sourceParent.isValid())
        return;
    if (const ServerGroupPtr group = m_catalogue.groupAt(sourceParent)) {
        m_searchTexts.remove(group->id());
        m_prepare.start();
    }
}

void CatalogueFilterModel::forgetGroupsAt(int first, int last)
{
    for (int row = first; row <= last && !m_searchTexts.isEmpty(); ++row)
        forgetGroupAt(m_catalogue.index(row, 0));
}

bool CatalogueFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (m_text.isEmpty())
        return true;
    // Groups stay through their servers, which recursive filtering looks at.
    if (!sourceParent.isValid())
        return false;
    const ServerGroupPtr group = m_catalogue.groupAt(sourceParent);
    if (!group || sourceRow >= group->servers().size())
        return false;
    const SearchText &server = searchTexts(*group)[std::size_t(sourceRow)];
    return m_protocolMatches[server.protocol] || server.text.contains(m_folded);
}
