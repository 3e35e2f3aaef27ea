#pragma once

#include "Platform/ApplicationActivity.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

/**
 * The activation handlers of one activity source. Handlers are added, removed and notified
 * from any thread; notify calls them outside the list's lock, so a handler may take locks
 * that are held around add or a subscription's end.
 */
class ActivationObservers {
public:
    ActivationObservers();
    ActivationObservers(const ActivationObservers&) = delete;
    ActivationObservers& operator=(const ActivationObservers&) = delete;

    /** The subscription stays safe to end after this object is gone. */
    [[nodiscard]] Subscription add(ApplicationActivity::ActivationHandler handler);

    /** Calls every handler subscribed now, in the order they were added, on this thread. */
    void notify(const RunningApplication& application) const;

    [[nodiscard]] std::size_t count() const;

private:
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<const ApplicationActivity::ActivationHandler> handler;
    };
    struct State {
        mutable std::mutex mutex;
        std::uint64_t nextId = 0;
        std::vector<Entry> entries;

        bool contains(std::uint64_t id) const;
    };

    std::shared_ptr<State> m_state;
};
