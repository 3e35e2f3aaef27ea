#pragma once

#include "Platform/ActivationObservers.h"
#include "Platform/ApplicationActivity.h"

#include <mutex>

/**
 * An activity source driven by the test: it reports the frontmost application it was given
 * and calls the handlers on the thread that calls activate(), from any thread.
 */
class ScriptedApplicationActivity final : public ApplicationActivity {
public:
    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override;
    [[nodiscard]] Subscription addActivationObserver(ActivationHandler handler) override;

    void setFrontmost(std::optional<RunningApplication> application);
    /** Makes application the frontmost one and calls every handler with it. */
    void activate(const RunningApplication& application);
    [[nodiscard]] std::size_t observerCount() const { return m_observers.count(); }

private:
    std::mutex m_mutex;
    std::optional<RunningApplication> m_frontmost;
    ActivationObservers m_observers;
};
