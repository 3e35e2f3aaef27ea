#pragma once

#include "Platform/ApplicationActivity.h"

#include <QString>
#include <QStringList>

#include <memory>

class ApplicationIdentity;

/** What the session tells about its window system. */
struct SessionFacts {
    QString sessionType;         // XDG_SESSION_TYPE: "wayland", "x11", "tty", …
    QStringList currentDesktops; // XDG_CURRENT_DESKTOP, split at ":"
    QString waylandDisplay;      // WAYLAND_DISPLAY
    QString display;             // DISPLAY

    [[nodiscard]] static SessionFacts fromEnvironment();
};

/** The desktop families with a backend of their own. */
enum class ActivityBackend { none, x11, wlroots, kwin, gnomeShell };

/**
 * Chooses the foreground-application backend once, at start, from the session. A Wayland session
 * never uses X11 (Xwayland sees only its own windows); KDE Plasma and GNOME have backends of
 * their own; any other Wayland compositor is asked for the wlroots foreign-toplevel interface.
 */
class ApplicationActivitySelector {
public:
    struct Choice {
        ActivityBackend backend = ActivityBackend::none;
        QString reason; // why none, when backend is none
    };

    /** The backend family for the session; pure. */
    [[nodiscard]] static Choice choose(const SessionFacts& session);

    /**
     * Makes the chosen backend. Writes one log line: the backend in use, or why there is none
     * (then the result reports no application and never calls a handler). The X11 backend
     * writes it from its own thread, once it knows whether the display answers.
     */
    [[nodiscard]] static std::unique_ptr<ApplicationActivity>
    make(const SessionFacts& session, std::shared_ptr<const ApplicationIdentity> identity);
};
