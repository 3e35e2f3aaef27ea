#pragma once

#include "Platform/ApplicationActivity.h"

#include <mutex>
#include <ostream>
#include <vector>

inline void PrintTo(const RunningApplication& application, std::ostream* os)
{
    *os << '{' << application.bundleIdentifier.value_or(QStringLiteral("-")).toStdString() << ", "
        << application.localizedName.value_or(QStringLiteral("-")).toStdString() << '}';
}

/** What an activity backend's handlers received, from the backend's thread. */
class ReceivedApplications {
public:
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

private:
    mutable std::mutex m_mutex;
    std::vector<RunningApplication> m_applications;
};
