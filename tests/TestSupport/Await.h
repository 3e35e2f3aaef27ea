#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <qcoro/qcorotask.h>

#include <functional>

/** Runs the event loop until the task has finished and returns its result (or rethrows). */
template <typename T>
T await(QCoro::Task<T>&& task)
{
    return QCoro::waitFor(std::move(task));
}

/** Runs the event loop until the condition holds or the time is up; returns the condition. */
inline bool processEventsUntil(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}
