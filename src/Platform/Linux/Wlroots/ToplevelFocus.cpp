#include "Platform/Linux/Wlroots/ToplevelFocus.h"

void ToplevelFocus::appId(Id id, const QString& appId)
{
    auto& toplevel = m_toplevels[id];
    toplevel.pending.appId = appId;
}

void ToplevelFocus::state(Id id, bool activated, bool minimized)
{
    auto& toplevel = m_toplevels[id];
    toplevel.pending.activated = activated;
    toplevel.pending.minimized = minimized;
}

void ToplevelFocus::done(Id id)
{
    auto& toplevel = m_toplevels[id];
    if (toplevel.pending.activated && !toplevel.current.activated)
        toplevel.activatedAt = ++m_clock;
    toplevel.current = toplevel.pending;
}

void ToplevelFocus::closed(Id id)
{
    m_toplevels.erase(id);
}

std::optional<ToplevelFocus::Front> ToplevelFocus::front() const
{
    const std::pair<const Id, Toplevel>* best = nullptr;
    for (const auto& entry : m_toplevels) {
        const State& state = entry.second.current;
        if (state.activated && !state.minimized &&
            (!best || entry.second.activatedAt > best->second.activatedAt))
            best = &entry;
    }
    if (!best)
        return std::nullopt;
    return Front{best->first, best->second.current.appId};
}
