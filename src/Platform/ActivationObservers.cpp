#include "Platform/ActivationObservers.h"

#include <algorithm>

bool ActivationObservers::State::contains(std::uint64_t id) const
{
    return std::any_of(entries.begin(), entries.end(), [id](const Entry& e) { return e.id == id; });
}

ActivationObservers::ActivationObservers() : m_state(std::make_shared<State>()) {}

Subscription ActivationObservers::add(ApplicationActivity::ActivationHandler handler)
{
    std::uint64_t id = 0;
    {
        std::lock_guard lock(m_state->mutex);
        id = m_state->nextId++;
        m_state->entries.push_back(
            {id,
             std::make_shared<const ApplicationActivity::ActivationHandler>(std::move(handler))});
    }
    std::weak_ptr<State> weak = m_state;
    return Subscription([weak, id] {
        if (const auto state = weak.lock()) {
            std::lock_guard lock(state->mutex);
            std::erase_if(state->entries, [id](const Entry& e) { return e.id == id; });
        }
    });
}

void ActivationObservers::notify(const RunningApplication& application) const
{
    std::vector<Entry> snapshot;
    {
        std::lock_guard lock(m_state->mutex);
        snapshot = m_state->entries;
    }
    for (const auto& entry : snapshot) {
        // Skip a handler whose subscription ended while earlier ones ran.
        {
            std::lock_guard lock(m_state->mutex);
            if (!m_state->contains(entry.id))
                continue;
        }
        (*entry.handler)(application);
    }
}

std::size_t ActivationObservers::count() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->entries.size();
}
