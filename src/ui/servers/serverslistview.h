#pragma once

#include <QTimer>
#include <QTreeView>

class ServerRowDelegate;

// The tree of group headings and server rows, always expanded. It tells the row delegate which row
// the pointer is over, routes clicks on the row buttons to it, and keeps busy marks turning.
class ServersListView final : public QTreeView {
    Q_OBJECT

public:
    explicit ServersListView(QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ServersListView)

    void setModel(QAbstractItemModel *model) override;
    ServerRowDelegate *rowDelegate() const { return m_delegate; }
    // The options the delegate paints a row with, for hit tests.
    QStyleOptionViewItem rowOption(const QModelIndex &index) const;

Q_SIGNALS:
    // Return on the highlighted rows, as a double click.
    void returnPressed();

protected:
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void hoverAt(QPoint position);
    // True when a row button took the event.
    bool routeToButton(QMouseEvent *event);
    void animateBusyRows();
    bool anyVisibleRowBusy() const;

    ServerRowDelegate *m_delegate;
    QTimer m_busyTimer;
    QPoint m_pointer;
    bool m_pointerInside = false;
    bool m_buttonPressed = false;
};
