#pragma once

#include "core/foundation/error.h"

#include <QCoroTask>
#include <QString>

// The description of what the task threw, or an empty text.
template <typename T> QCoro::Task<QString> describeFailure(QCoro::Task<T> task)
{
    QString failure;
    try {
        co_await task;
    } catch (const Error &error) {
        failure = error.description();
    }
    co_return failure;
}

// Runs the task to its end. QCoro::waitFor() itself would wait for ever on a task that throws.
template <typename T> QString failureOf(QCoro::Task<T> &&task)
{
    return QCoro::waitFor(describeFailure(std::move(task)));
}
