#include "Platform/Linux/Wlroots/ToplevelFocus.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

// Compositors differ in what they tell about minimised windows; headless sway has none, so the
// rule is shown on the event sequences themselves.
TEST(ToplevelFocus, FrontTable)
{
    struct Event {
        char kind; // 'a' app id, 's' state, 'd' done, 'c' closed
        ToplevelFocus::Id id;
        const char* appId = "";
        bool activated = false;
        bool minimized = false;
    };
    const struct {
        const char* name;
        std::vector<Event> events;
        std::optional<QString> front; // app id; none for no front
    } cases[] = {
        {"activated", {{'a', 1, "foot"}, {'s', 1, "", true}, {'d', 1}}, "foot"},
        {"not yet done", {{'a', 1, "foot"}, {'s', 1, "", true}}, std::nullopt},
        {"minimised but left activated",
         {{'a', 1, "foot"}, {'s', 1, "", true}, {'d', 1}, {'s', 1, "", true, true}, {'d', 1}},
         std::nullopt},
        {"deactivated",
         {{'s', 1, "", true}, {'d', 1}, {'s', 1, "", false}, {'d', 1}},
         std::nullopt},
        {"closed", {{'a', 1, "foot"}, {'s', 1, "", true}, {'d', 1}, {'c', 1}}, std::nullopt},
        {"another activated before the first deactivates",
         {{'a', 1, "foot"},
          {'s', 1, "", true},
          {'d', 1},
          {'a', 2, "vlc"},
          {'s', 2, "", true},
          {'d', 2}},
         "vlc"},
        {"the minimised one in front, another still activated",
         {{'a', 1, "foot"},
          {'s', 1, "", true},
          {'d', 1},
          {'a', 2, "vlc"},
          {'s', 2, "", true},
          {'d', 2},
          {'s', 2, "", true, true},
          {'d', 2}},
         "foot"},
        {"app id changes",
         {{'a', 1, "a"}, {'s', 1, "", true}, {'d', 1}, {'a', 1, "b"}, {'d', 1}},
         "b"},
        {"closed before done", {{'a', 1, "foot"}, {'s', 1, "", true}, {'c', 1}}, std::nullopt},
    };
    for (const auto& c : cases) {
        ToplevelFocus focus;
        for (const auto& e : c.events) {
            switch (e.kind) {
            case 'a':
                focus.appId(e.id, QString::fromUtf8(e.appId));
                break;
            case 's':
                focus.state(e.id, e.activated, e.minimized);
                break;
            case 'd':
                focus.done(e.id);
                break;
            case 'c':
                focus.closed(e.id);
                break;
            }
        }
        const auto front = focus.front();
        EXPECT_EQ(front ? std::optional<QString>(front->appId) : std::nullopt, c.front) << c.name;
    }
}

} // namespace
