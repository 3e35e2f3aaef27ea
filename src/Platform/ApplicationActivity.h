#pragma once

#include "Support/Subscription.h"

#include <QString>

#include <functional>
#include <optional>

/** An application as the activity source knows it; either part may be missing. */
struct RunningApplication {
    std::optional<QString> bundleIdentifier;
    std::optional<QString> localizedName;

    bool operator==(const RunningApplication&) const = default;
};

/**
 * Which application is in front, and a callback whenever another one comes to the front.
 * All operations may be called from any thread.
 */
class ApplicationActivity {
public:
    using ActivationHandler = std::function<void(const RunningApplication&)>;

    virtual ~ApplicationActivity() = default;

    /** The application in front now, or none when nothing is in front or it cannot be known. */
    [[nodiscard]] virtual std::optional<RunningApplication> frontmostApplication() = 0;

    /**
     * Calls handler with each application that comes to the front, on the source's own thread.
     * When the focus leaves every application, handler receives an application with neither
     * identifier nor name. Ending the subscription does not wait: a call already under way may
     * still be running, or about to run, so handler must guard whatever it reaches.
     */
    [[nodiscard]] virtual Subscription addActivationObserver(ActivationHandler handler) = 0;

    /** The desktop's source, made on first use; lives until the process exits. */
    static ApplicationActivity& system();
};
