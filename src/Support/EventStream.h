#pragma once

#include "Support/Subscription.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

/**
 * Delivers values to its subscribers in the order they subscribed, without holding one.
 * Single-threaded: emit and subscribe on the owner's thread. A subscriber may subscribe or
 * end subscriptions (its own included) while it is being called.
 */
template <typename T>
class EventStream {
public:
    using Handler = std::function<void(const T&)>;

    EventStream() = default;
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    [[nodiscard]] Subscription subscribe(Handler handler) const
    {
        const auto id = m_state->nextId++;
        m_state->handlers.push_back({id, std::make_shared<Handler>(std::move(handler))});
        std::weak_ptr<State> weak = m_state;
        return Subscription([weak, id] {
            if (auto state = weak.lock())
                std::erase_if(state->handlers, [id](const Entry& e) { return e.id == id; });
        });
    }

    void emit(const T& value) const
    {
        // Take a snapshot so that subscriptions made or ended by a handler do not disturb
        // this round; a handler removed meanwhile is skipped.
        const auto snapshot = m_state->handlers;
        for (const auto& entry : snapshot) {
            if (isSubscribed(entry.id))
                (*entry.handler)(value);
        }
    }

    [[nodiscard]] std::size_t subscriberCount() const { return m_state->handlers.size(); }

private:
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<Handler> handler;
    };
    struct State {
        std::uint64_t nextId = 0;
        std::vector<Entry> handlers;
    };

    bool isSubscribed(std::uint64_t id) const
    {
        for (const auto& e : m_state->handlers)
            if (e.id == id)
                return true;
        return false;
    }

    std::shared_ptr<State> m_state = std::make_shared<State>();
};
