#include "Platform/Linux/FrontmostFeed.h"

#include <chrono>

void FrontmostFeed::publish(std::optional<RunningApplication> application)
{
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        changed = !m_isKnown || m_frontmost != application;
        m_frontmost = application;
        m_isKnown = true;
    }
    m_known.notify_all();
    if (changed)
        observers.notify(application.value_or(RunningApplication{}));
}

void FrontmostFeed::publishWindow(const RunningApplication& application)
{
    publish(application == RunningApplication{} ? std::nullopt : std::optional(application));
}

void FrontmostFeed::forget()
{
    std::lock_guard lock(m_mutex);
    m_isKnown = false;
}

std::optional<RunningApplication> FrontmostFeed::frontmost(int timeoutMs) const
{
    std::unique_lock lock(m_mutex);
    m_known.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_isKnown; });
    return m_frontmost;
}
