#pragma once

#include <QHash>
#include <QSortFilterProxyModel>
#include <QTimer>
#include <QUuid>

#include <array>
#include <vector>

class CatalogueItemModel;
class Server;
class ServerGroup;

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
    // Each server's name and address, case-folded, by group id in row order, so each keystroke
    // searches plain text instead of copying every server's settings. They are made a group per
    // turn of the event loop while nothing is filtered, and for the rest at the first keystroke.
    struct SearchText {
        QString text;
        // The settings' case, for the protocol's name.
        std::size_t protocol = 0;
    };
    const std::vector<SearchText> &searchTexts(const ServerGroup &group) const;
    static SearchText searchText(const Server &server);
    void forgetGroupAt(const QModelIndex &sourceParent);
    void serversChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void forgetGroupsAt(int first, int last);
    void prepareOneGroup();

    CatalogueItemModel &m_catalogue;
    QString m_text;
    QString m_folded;
    // Whether the text is part of each protocol's name, in the order of the settings' cases: the
    // answer is the same for every server of a protocol.
    std::array<bool, 3> m_protocolMatches {};
    mutable QHash<QUuid, std::vector<SearchText>> m_searchTexts;
    QTimer m_prepare;
};
