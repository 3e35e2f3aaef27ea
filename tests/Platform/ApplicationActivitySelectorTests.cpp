// Which backend a session gets, and the one log line that says so when none can run here.
#include "Platform/Linux/ApplicationActivitySelector.h"

#include "Platform/Linux/ApplicationIdentity.h"
#include "Platform/Log.h"
#include "TestSupport/ScopedEnvironment.h"

#include <gtest/gtest.h>

namespace {

TEST(ApplicationActivitySelector, ChoiceTable)
{
    using B = ActivityBackend;
    const struct {
        const char* name;
        SessionFacts session;
        ActivityBackend expected;
    } cases[] = {
        {"sway", {"wayland", {"sway"}, "wayland-1", {}}, B::wlroots},
        {"Hyprland, with Xwayland's DISPLAY",
         {"wayland", {"Hyprland"}, "wayland-1", ":0"},
         B::wlroots},
        {"no desktop named", {"wayland", {}, "wayland-0", {}}, B::wlroots},
        {"Plasma on Wayland", {"wayland", {"KDE"}, "wayland-0", ":1"}, B::kwin},
        {"GNOME on Wayland", {"wayland", {"GNOME"}, "wayland-0", ":0"}, B::gnomeShell},
        {"Ubuntu's GNOME", {"wayland", {"ubuntu", "GNOME"}, "wayland-0", {}}, B::gnomeShell},
        {"session type unset, Wayland display", {{}, {}, "wayland-0", ":0"}, B::wlroots},
        {"a tty session running a compositor", {"tty", {"sway"}, "wayland-1", {}}, B::wlroots},
        {"Plasma on X11", {"x11", {"KDE"}, {}, ":0"}, B::x11},
        {"GNOME on X11", {"x11", {"GNOME"}, {}, ":0"}, B::x11},
        {"an X11 session with a nested Wayland display",
         {"x11", {"XFCE"}, "wayland-9", ":0"},
         B::x11},
        {"session type unset, X display", {{}, {}, {}, ":0"}, B::x11},
        {"nothing", {"tty", {}, {}, {}}, B::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ApplicationActivitySelector::choose(c.session).backend, c.expected) << c.name;
    EXPECT_FALSE(ApplicationActivitySelector::choose({"tty", {}, {}, {}}).reason.isEmpty());
}

TEST(ApplicationActivitySelector, OneLogLineWhenNoBackendCanRun)
{
    const auto identity = std::make_shared<ApplicationIdentity>(QStringList{}, QStringList{});
    const struct {
        const char* name;
        SessionFacts session;
        const char* variable;
        const char* value;
        QString line;
    } cases[] = {
        {"no session",
         {"tty", {}, {}, {}},
         "DISPLAY",
         nullptr,
         "Foreground application tracking is unavailable: no graphical session (neither "
         "WAYLAND_DISPLAY nor DISPLAY is set)"},
        {"Plasma without a session bus",
         {"wayland", {"KDE"}, "wayland-0", {}},
         "DBUS_SESSION_BUS_ADDRESS",
         nullptr,
         "Foreground application tracking is unavailable: no session bus to reach KWin"},
        {"GNOME without a session bus",
         {"wayland", {"GNOME"}, "wayland-0", {}},
         "DBUS_SESSION_BUS_ADDRESS",
         nullptr,
         "Foreground application tracking is unavailable: no session bus to reach GNOME Shell"},
        {"a Wayland session never falls back to X11",
         {"wayland", {"sway"}, "orvane-no-such-display", ":0"},
         "WAYLAND_DISPLAY",
         "orvane-no-such-display",
         "Foreground application tracking is unavailable: cannot connect to the Wayland display "
         "\"orvane-no-such-display\""},
        {"X11 without a display",
         {"x11", {}, {}, {}},
         "DISPLAY",
         nullptr,
         "Foreground application tracking is unavailable: no X display (DISPLAY is not set)"},
    };
    for (const auto& c : cases) {
        ScopedEnvironment environment;
        environment.unset("WAYLAND_DISPLAY");
        environment.unset("XDG_SESSION_TYPE");
        environment.unset("DISPLAY"); // no bus started for a display
        if (c.value)
            environment.set(c.variable, c.value);
        else
            environment.unset(c.variable);
        const Log::Capture log;
        {
            const auto activity = ApplicationActivitySelector::make(c.session, identity);
            EXPECT_EQ(activity->frontmostApplication(), std::nullopt) << c.name;
        }
        EXPECT_EQ(log.messages(), QStringList{c.line}) << c.name;
    }
}

} // namespace
