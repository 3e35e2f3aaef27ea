#pragma once

#include "Support/EventStream.h"

#include <utility>

/**
 * A published property: every assignment notifies the subscribers, in the order the
 * assignments happen, also when the value is unchanged. A new subscriber first receives the
 * current value. Single-threaded, like EventStream.
 */
template <typename T>
class Observable {
public:
    using Handler = typename EventStream<T>::Handler;

    explicit Observable(T initial = T{}) : m_value(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    [[nodiscard]] const T& get() const { return m_value; }
    [[nodiscard]] const T& operator()() const { return m_value; }

    void set(T value)
    {
        m_value = std::move(value);
        // Handlers see the value as assigned now, even if one of them assigns again.
        const T published = m_value;
        m_changes.emit(published);
    }

    /** The change stream ("$property"): the current value at once, then every assignment. */
    [[nodiscard]] Subscription subscribe(Handler handler) const
    {
        const T current = m_value;
        handler(current);
        return m_changes.subscribe(std::move(handler));
    }

    /** Only later assignments, without the current value. */
    [[nodiscard]] Subscription subscribeToChanges(Handler handler) const
    {
        return m_changes.subscribe(std::move(handler));
    }

private:
    T m_value;
    mutable EventStream<T> m_changes; // subscribing does not change the value
};
