#pragma once

#include "core/catalogue/server.h"
#include "core/foundation/error.h"

#include <QCoroTask>
#include <QStringList>
#include <QThread>

#include <memory>

// What a subscription load ended with; shared so the task may outlive a failed test.
struct LoadOutcome {
    bool done = false;
    QStringList names;
    QString error;
    // Servers are QObjects that the catalogue uses on the thread that asked for them.
    bool onCallerThread = true;
};

inline QCoro::Task<> recordLoad(QCoro::Task<QList<ServerPtr>> task, std::shared_ptr<LoadOutcome> outcome)
{
    try {
        const QList<ServerPtr> servers = co_await task;
        for (const auto &server : servers) {
            outcome->names.append(server->name());
            outcome->onCallerThread = outcome->onCallerThread && server->thread() == QThread::currentThread();
        }
    } catch (const Error &error) {
        outcome->error = error.description();
    }
    outcome->done = true;
}
