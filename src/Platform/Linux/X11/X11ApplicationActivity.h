#pragma once

#include "Platform/ApplicationActivity.h"

#include <memory>

class ApplicationIdentity;

/**
 * The application in front on an X11 desktop, from the root window's _NET_ACTIVE_WINDOW.
 * A thread of its own blocks on the X connection and wakes only for the root window's
 * property changes; handlers run on that thread. The application comes from the active window's
 * _GTK_APPLICATION_ID, _KDE_NET_WM_DESKTOP_FILE, WM_CLASS and _NET_WM_PID through the
 * identity rule (ApplicationIdentity).
 *
 * frontmostApplication() answers from what the thread last read, without asking the server
 * (the first call waits, a few seconds at most, for the thread's first reading).
 *
 * Without a usable X display (none set, a Wayland session, a server that cannot be reached)
 * it says so in one log line, reports no application and never calls a handler. A connection
 * lost later is logged once; handlers then receive an application with neither identifier nor
 * name, and nothing is in front from then on.
 */
class X11ApplicationActivity final : public ApplicationActivity {
public:
    /** Connects to $DISPLAY; the identity rule defaults to this process's environment. */
    explicit X11ApplicationActivity(std::shared_ptr<const ApplicationIdentity> identity = {});
    /** Stops and joins the thread; no handler runs once this returns. */
    ~X11ApplicationActivity() override;
    X11ApplicationActivity(const X11ApplicationActivity&) = delete;
    X11ApplicationActivity& operator=(const X11ApplicationActivity&) = delete;

    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override;
    [[nodiscard]] Subscription addActivationObserver(ActivationHandler handler) override;

    /** Whether the X display was reached and the active window is being watched. */
    [[nodiscard]] bool isWatching() const;

private:
    class Watcher;
    std::unique_ptr<Watcher> m_watcher;
};
