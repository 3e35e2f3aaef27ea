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
 * Every X request, the connection's setup included, is made on that thread: the caller never
 * waits on the X server. frontmostApplication() answers from what the thread last read; the
 * first question waits up to two seconds for the thread's first reading, and when none has come
 * (a server that accepts and does not answer) it logs one line and answers no application.
 * A first reading that comes after that answer reaches the handlers as an activation.
 *
 * Once connected it logs one line naming the display. Without a usable X display (none set, a
 * Wayland session, a server that cannot be reached) it says so in one log line, reports no
 * application and never calls a handler. A connection lost later is logged once; handlers then
 * receive an application with neither identifier nor name, and nothing is in front from then on.
 */
class X11ApplicationActivity final : public ApplicationActivity {
public:
    /**
     * Starts connecting to $DISPLAY on the backend's thread; the identity rule defaults to this
     * process's environment.
     */
    explicit X11ApplicationActivity(std::shared_ptr<const ApplicationIdentity> identity = {});
    /**
     * Stops and joins the thread, cutting the connection to end any wait for the server; no
     * handler runs once this returns.
     */
    ~X11ApplicationActivity() override;
    X11ApplicationActivity(const X11ApplicationActivity&) = delete;
    X11ApplicationActivity& operator=(const X11ApplicationActivity&) = delete;

    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override;
    [[nodiscard]] Subscription addActivationObserver(ActivationHandler handler) override;

    /**
     * Whether the X display was reached and the active window is being watched; waits for the
     * first reading as frontmostApplication() does.
     */
    [[nodiscard]] bool isWatching() const;

private:
    class Watcher;
    std::unique_ptr<Watcher> m_watcher;
};
