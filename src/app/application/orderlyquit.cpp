#include "app/application/orderlyquit.h"

#include "core/foundation/defaultsstore.h"
#include "core/foundation/log.h"

#include <QCoreApplication>
#include <QEvent>

#include <csignal>

OrderlyQuit::OrderlyQuit(DefaultsStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_signals({ SIGTERM, SIGHUP, SIGINT })
{
    connect(&m_signals, &SignalWatcher::received, this, [](int signalNumber) {
        logInfo(QStringLiteral("Quitting on signal %1").arg(signalNumber));
        QCoreApplication::quit();
    });
    QCoreApplication::instance()->installEventFilter(this);
}

OrderlyQuit::~OrderlyQuit()
{
    if (auto *app = QCoreApplication::instance())
        app->removeEventFilter(this);
}

bool OrderlyQuit::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Quit || watched != QCoreApplication::instance() || !m_store.hasPendingWrites())
        return false;
    // A refused Quit event keeps the event loop running; the quit is asked again once the writes
    // queued so far have landed (more may queue meanwhile: then it is held once more).
    event->ignore();
    if (!m_quitHeld) {
        m_quitHeld = true;
        logInfo(QStringLiteral("Quitting once the pending saves are written"));
        m_store.afterPendingWrites(this, [this] {
            m_quitHeld = false;
            QCoreApplication::quit();
        });
    }
    return true;
}
