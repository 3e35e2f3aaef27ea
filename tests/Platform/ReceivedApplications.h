#pragma once

#include "Platform/ApplicationActivity.h"
#include "TestSupport/Await.h"

#include <algorithm>
#include <mutex>
#include <ostream>
#include <vector>

inline void PrintTo(const RunningApplication& application, std::ostream* os)
{
    *os << '{' << application.bundleIdentifier.value_or(QStringLiteral("-")).toStdString() << ", "
        << application.localizedName.value_or(QStringLiteral("-")).toStdString() << '}';
}

/**
 * What an activity backend's handlers received, from the backend's thread. Made before the
 * backend: ending a subscription does not wait for a call under way, the backend's end does.
 */
class ReceivedApplications {
public:
    /** Long enough for a compositor under a loaded machine; the wait ends as soon as it holds. */
    static constexpr int timeoutMs = 30000;

    ApplicationActivity::ActivationHandler handler()
    {
        return [this](const RunningApplication& application) {
            std::lock_guard lock(m_mutex);
            m_applications.push_back(application);
        };
    }
    std::vector<RunningApplication> all() const
    {
        std::lock_guard lock(m_mutex);
        return m_applications;
    }
    bool lastIs(const RunningApplication& application) const
    {
        std::lock_guard lock(m_mutex);
        return !m_applications.empty() && m_applications.back() == application;
    }

    /** Runs the event loop until the last application received is this one; whether it came. */
    bool waitForLast(const RunningApplication& application, int waitMs = timeoutMs) const
    {
        return processEventsUntil([&] { return lastIs(application); }, waitMs);
    }

    /**
     * The applications received from the first time first came on, without the moments of no
     * application between them (a compositor may clear the focus before it moves it).
     */
    std::vector<RunningApplication> changesFrom(const RunningApplication& first) const
    {
        auto changes = all();
        changes.erase(changes.begin(), std::find(changes.begin(), changes.end(), first));
        std::erase(changes, RunningApplication{});
        return changes;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<RunningApplication> m_applications;
};
