#include "TestSupport/ScriptedApplicationActivity.h"

std::optional<RunningApplication> ScriptedApplicationActivity::frontmostApplication()
{
    std::lock_guard lock(m_mutex);
    return m_frontmost;
}

Subscription ScriptedApplicationActivity::addActivationObserver(ActivationHandler handler)
{
    return m_observers.add(std::move(handler));
}

void ScriptedApplicationActivity::setFrontmost(std::optional<RunningApplication> application)
{
    std::lock_guard lock(m_mutex);
    m_frontmost = std::move(application);
}

void ScriptedApplicationActivity::activate(const RunningApplication& application)
{
    setFrontmost(application);
    m_observers.notify(application);
}
