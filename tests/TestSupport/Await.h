#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <qcoro/qcorotask.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>

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

namespace AwaitDetail {

template <typename T>
struct Outcome {
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
    std::exception_ptr error;
    bool done = false;
};

// A plain function, not a lambda: its parameters live in the coroutine frame.
template <typename T>
QCoro::Task<void> settle(QCoro::Task<T> task, Outcome<T>* outcome)
{
    try {
        if constexpr (std::is_void_v<T>)
            co_await task;
        else
            outcome->value.emplace(co_await task);
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
}

} // namespace AwaitDetail

/**
 * Runs the event loop until the task has finished and returns its result or rethrows its
 * exception (QCoro::waitFor would hang on an exception). A task still running after
 * timeoutMs ends the test program: it cannot be abandoned safely.
 */
template <typename T>
T await(QCoro::Task<T>&& task, int timeoutMs = 30000)
{
    AwaitDetail::Outcome<T> outcome;
    auto settling = AwaitDetail::settle<T>(std::move(task), &outcome);
    if (!processEventsUntil([&outcome] { return outcome.done; }, timeoutMs)) {
        std::fprintf(stderr, "await: the task did not finish within %d ms\n", timeoutMs);
        std::abort();
    }
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome.value);
}
