#pragma once

#include "Platform/ActivationObservers.h"
#include "Platform/ApplicationActivity.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

/**
 * The state a desktop backend shares between its own thread, which learns of activations, and
 * the threads that ask: the application in front, whether it is known yet, and the handlers.
 */
class FrontmostFeed {
public:
    /**
     * Records what is in front now (none: no application) and, when it differs from what was
     * in front, calls the handlers on this thread. Marks the front as known.
     */
    void publish(std::optional<RunningApplication> application);

    /**
     * The application of the window now in front, as the identity rule gave it: one without
     * identifier and name (no desktop entry) is no application the report can name.
     */
    void publishWindow(const RunningApplication& application);

    /** The front is unknown again (the desktop's part is being loaded anew). */
    void forget();

    /**
     * The application in front, waiting up to timeoutMs for the backend to learn it; none
     * when it is not known by then.
     */
    [[nodiscard]] std::optional<RunningApplication> frontmost(int timeoutMs) const;

    ActivationObservers observers;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_known;
    bool m_isKnown = false;
    std::optional<RunningApplication> m_frontmost;
};
