#include "ui/servers/serverslistview.h"

#include "app/catalogue/catalogueitemmodel.h"
#include "ui/servers/serverrowdelegate.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>

using namespace std::chrono_literals;

ServersListView::ServersListView(QWidget *parent)
    : QTreeView(parent)
    , m_delegate(new ServerRowDelegate(this))
{
    setItemDelegate(m_delegate);
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setRootIsDecorated(false);
    setIndentation(0);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setEditTriggers(NoEditTriggers);
    setSelectionMode(ExtendedSelection);
    setSelectionBehavior(SelectRows);
    setVerticalScrollMode(ScrollPerPixel);
    setMouseTracking(true);
    setAllColumnsShowFocus(true);

    m_busyTimer.setInterval(80ms);
    connect(&m_busyTimer, &QTimer::timeout, this, &ServersListView::animateBusyRows);
}

void ServersListView::setModel(QAbstractItemModel *model)
{
    QTreeView::setModel(model);
    if (!model)
        return;
    expandAll();
    // Connected after the view's own handlers, so the rows are known when they are expanded.
    connect(model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &parent, int first, int last) {
        if (parent.isValid())
            return;
        for (int row = first; row <= last; ++row)
            expand(this->model()->index(row, 0));
    });
    connect(model, &QAbstractItemModel::layoutChanged, this, &QTreeView::expandAll);
    connect(model, &QAbstractItemModel::modelReset, this, &QTreeView::expandAll);
    // A status answer may start a busy mark anywhere; the timer stops itself when none is in sight.
    connect(model, &QAbstractItemModel::dataChanged, this, [this] {
        if (!m_busyTimer.isActive())
            m_busyTimer.start();
    });
}

QStyleOptionViewItem ServersListView::rowOption(const QModelIndex &index) const
{
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    return option;
}

void ServersListView::hoverAt(QPoint position)
{
    const QModelIndex previous = m_delegate->hoveredIndex();
    const QModelIndex now = m_pointerInside ? indexAt(position) : QModelIndex();
    m_delegate->setHover(now, position);
    if (previous.isValid())
        viewport()->update(visualRect(previous));
    if (now.isValid())
        viewport()->update(visualRect(now));
}

void ServersListView::mouseMoveEvent(QMouseEvent *event)
{
    m_pointerInside = true;
    m_pointer = event->position().toPoint();
    hoverAt(m_pointer);
    if (!m_buttonPressed)
        QTreeView::mouseMoveEvent(event);
}

bool ServersListView::routeToButton(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid())
        return false;
    return m_delegate->editorEvent(event, model(), rowOption(index), index);
}

void ServersListView::mousePressEvent(QMouseEvent *event)
{
    // A row button acts on its own row and leaves the highlighted rows as they are.
    m_pointerInside = true;
    hoverAt(event->position().toPoint());
    m_buttonPressed = routeToButton(event);
    if (!m_buttonPressed)
        QTreeView::mousePressEvent(event);
}

void ServersListView::mouseReleaseEvent(QMouseEvent *event)
{
    if (std::exchange(m_buttonPressed, false)) {
        const QModelIndex index = indexAt(event->position().toPoint());
        m_delegate->editorEvent(event, model(), rowOption(index), index);
        viewport()->update();
        return;
    }
    QTreeView::mouseReleaseEvent(event);
}

void ServersListView::mouseDoubleClickEvent(QMouseEvent *event)
{
    // Two quick clicks on a row button are two clicks on it, not a double click on the row.
    m_buttonPressed = routeToButton(event);
    if (!m_buttonPressed)
        QTreeView::mouseDoubleClickEvent(event);
}

void ServersListView::leaveEvent(QEvent *event)
{
    m_pointerInside = false;
    hoverAt({});
    QTreeView::leaveEvent(event);
}

void ServersListView::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && state() != EditingState) {
        Q_EMIT returnPressed();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void ServersListView::scrollContentsBy(int dx, int dy)
{
    QTreeView::scrollContentsBy(dx, dy);
    // The rows move under a pointer that stays put, and busy rows may come into sight.
    if (m_pointerInside)
        hoverAt(m_pointer);
    if (!m_busyTimer.isActive())
        m_busyTimer.start();
}

bool ServersListView::anyVisibleRowBusy() const
{
    const int bottom = viewport()->height();
    for (QModelIndex index = indexAt(QPoint(0, 0)); index.isValid(); index = indexBelow(index)) {
        if (visualRect(index).top() > bottom)
            break;
        if (index.data(CatalogueItemModel::InProgressRole).toBool())
            return true;
    }
    return false;
}

void ServersListView::animateBusyRows()
{
    if (anyVisibleRowBusy())
        viewport()->update();
    else
        m_busyTimer.stop();
}
