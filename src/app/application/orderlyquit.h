#pragma once

#include "core/foundation/signalwatcher.h"

#include <QObject>

class DefaultsStore;

// Quits the program on SIGTERM, SIGHUP and SIGINT as on the Quit menu item, and lets no quit (these,
// the menu's or the session manager's) end the event loop while the store still has writes queued:
// the quit is held until they have landed, without blocking the event loop meanwhile.
class OrderlyQuit final : public QObject {
    Q_OBJECT

public:
    // Watches the application object; create it after the application and the store.
    explicit OrderlyQuit(DefaultsStore &store, QObject *parent = nullptr);
    ~OrderlyQuit() override;
    Q_DISABLE_COPY_MOVE(OrderlyQuit)

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    DefaultsStore &m_store;
    SignalWatcher m_signals;
    bool m_quitHeld = false;
};
