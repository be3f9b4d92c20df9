#pragma once

#include <QIcon>
#include <QPersistentModelIndex>
#include <QSet>
#include <QStyledItemDelegate>
#include <QUuid>

// Paints the servers list: a group's heading (title, server count, the mark of a failed refresh)
// and a server's row (checkmark of the selected server, name, protocol, then the reachability mark
// or, under the pointer, the buttons "Connect", check status and info). It handles the buttons'
// clicks itself, so the list needs no widget per row.
class ServerRowDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    enum class Button { none, connect, refresh, info };

    explicit ServerRowDelegate(QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ServerRowDelegate)

    // The row under the pointer and the pointer's place in the view, for the buttons' hover look.
    void setHover(const QModelIndex &index, QPoint position);
    QModelIndex hoveredIndex() const { return m_hovered; }
    // Groups whose last forced refresh failed, by id.
    void setFailedGroups(QSet<QUuid> groups) { m_failedGroups = std::move(groups); }

    // The hover button of this row at position (view coordinates), if the row shows its buttons.
    Button buttonAt(const QStyleOptionViewItem &option, const QModelIndex &index, QPoint position) const;
    QRect buttonRect(const QStyleOptionViewItem &option, const QModelIndex &index, Button button) const;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // Public: the list hands clicks on row buttons straight to it.
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
        const QModelIndex &index) override;

Q_SIGNALS:
    void connectClicked(const QModelIndex &index);
    void refreshClicked(const QModelIndex &index);
    void infoClicked(const QModelIndex &index);

private:
    void paintHeading(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;
    void paintServer(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;
    bool showsButtons(const QModelIndex &index) const;

    QPersistentModelIndex m_hovered;
    QPoint m_hoverPosition;
    QSet<QUuid> m_failedGroups;
    // Looked up once: the theme lookup is too slow to repeat for every painted row.
    QIcon m_refresh;
    QIcon m_info;
    QIcon m_checkmark;
    QIcon m_warning;
    // The checkmark on a highlighted row, in the highlight's text colour, made again when that changes.
    mutable QIcon m_checkmarkHighlighted;
    mutable QColor m_checkmarkHighlightedColor;
    // The button under the last press, so a drag off it does not click.
    Button m_pressed = Button::none;
    QPersistentModelIndex m_pressedIndex;
};
