#pragma once

#include <QString>

#include <cstdint>
#include <map>
#include <optional>

/**
 * Which toplevel is in front, from a compositor's foreign-toplevel events. Each toplevel's
 * app id and state are double-buffered until its "done". The front is the activated toplevel
 * that is not minimised, the one activated last when several are (one per seat); some
 * compositors leave a minimised window "activated", which is no front. Not thread-safe: one
 * event thread owns it.
 */
class ToplevelFocus {
public:
    using Id = std::uintptr_t;

    struct Front {
        Id id;
        QString appId;
        bool operator==(const Front&) const = default;
    };

    void appId(Id id, const QString& appId);
    void state(Id id, bool activated, bool minimized);
    void done(Id id);
    void closed(Id id);

    /** The toplevel in front now, or none (nothing activated, or only minimised ones). */
    [[nodiscard]] std::optional<Front> front() const;

private:
    struct State {
        QString appId;
        bool activated = false;
        bool minimized = false;
    };
    struct Toplevel {
        State current;
        State pending;
        std::uint64_t activatedAt = 0; // order of activation
    };
    std::map<Id, Toplevel> m_toplevels;
    std::uint64_t m_clock = 0;
};
