#pragma once

#include "Platform/ApplicationActivity.h"

#include <memory>

class ApplicationIdentity;

/**
 * The application in front on a wlroots compositor (sway, Hyprland, labwc, Wayfire, …), from
 * zwlr_foreign_toplevel_manager_v1. A thread of its own connects to $WAYLAND_DISPLAY and blocks
 * on the connection; it wakes only for the compositor's events, and handlers run on it. The
 * front toplevel's app_id goes through the identity rule (ApplicationIdentity).
 *
 * Without the display or the interface it says so in one log line, reports no application and
 * never calls a handler. A compositor that goes away is logged once; handlers then receive an
 * application with neither identifier nor name, and nothing is in front from then on.
 */
class WlrootsApplicationActivity final : public ApplicationActivity {
public:
    /**
     * Connects and reads the toplevels present, waiting a few seconds at most for the compositor;
     * the identity rule defaults to this process's environment.
     */
    explicit WlrootsApplicationActivity(std::shared_ptr<const ApplicationIdentity> identity = {});
    /** Stops and joins the thread; no handler runs once this returns. */
    ~WlrootsApplicationActivity() override;
    WlrootsApplicationActivity(const WlrootsApplicationActivity&) = delete;
    WlrootsApplicationActivity& operator=(const WlrootsApplicationActivity&) = delete;

    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override;
    [[nodiscard]] Subscription addActivationObserver(ActivationHandler handler) override;

    /** Whether the compositor was reached and offers the foreign-toplevel interface. */
    [[nodiscard]] bool isWatching() const;

private:
    class Watcher;
    std::unique_ptr<Watcher> m_watcher;
};
