#pragma once

#include <QSortFilterProxyModel>

#include <array>

class CatalogueItemModel;

// The servers list's filter: a server stays when its name, address or protocol name holds the text,
// ignoring case; a group stays while one of its servers does. An empty text shows everything,
// empty groups included.
class CatalogueFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    // The catalogue model must outlive the filter.
    explicit CatalogueFilterModel(CatalogueItemModel &catalogue, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(CatalogueFilterModel)

    QString filterText() const { return m_text; }
    void setFilterText(const QString &text);

    CatalogueItemModel &catalogue() const { return m_catalogue; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    CatalogueItemModel &m_catalogue;
    QString m_text;
    // Whether the text is part of each protocol's name, in the order of the settings' cases: the
    // answer is the same for every server of a protocol.
    std::array<bool, 3> m_protocolMatches {};
};
