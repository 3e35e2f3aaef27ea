#pragma once

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

/**
 * Runs fn on context's thread and waits until it has run, like a blocking queued call. The
 * hand-over and the hand-back go through an atomic and a std::mutex, which ThreadSanitizer sees;
 * Qt's own blocking call synchronises inside Qt, which is not built with it, so everything fn
 * shares with the caller would be reported as a race. context's thread must not be the caller's.
 */
inline void runOnThreadAndWait(QObject* context, const std::function<void()>& fn)
{
    std::atomic<bool> handedOver{false};
    std::mutex mutex;
    std::condition_variable doneChanged;
    bool done = false;
    handedOver.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(
        context,
        [&] {
            (void)handedOver.load(std::memory_order_acquire);
            fn();
            const std::lock_guard lock(mutex);
            done = true;
            doneChanged.notify_one();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex);
    doneChanged.wait(lock, [&] { return done; });
}
