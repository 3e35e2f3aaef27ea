#include "Services/DeviceStatusStore.h"

QString DeviceStatusStore::Status::label() const
{
    struct Label {
        QString operator()(const Paused&) const { return QStringLiteral("Paused"); }
        QString operator()(const NotEnrolled&) const { return QStringLiteral("Not paired"); }
        QString operator()(const Protected&) const { return QStringLiteral("Protected"); }
        QString operator()(const Offline&) const { return QStringLiteral("Offline"); }
    };
    return std::visit(Label{}, m_case);
}

DeviceStatusStore::DeviceStatusStore(const Clock& clock) : m_clock(clock) {}

void DeviceStatusStore::refresh(bool enrolled, const std::optional<QDateTime>& lastHeartbeatAt,
                                const std::optional<Policy>& policy)
{
    m_lastCheck.set(lastHeartbeatAt);

    Status derived = Status::Offline{};
    if (!enrolled) {
        derived = Status::NotEnrolled{};
    } else if (policy && policy->pausedNow) {
        derived = Status::Paused{policy->pausedUntil};
    } else if (lastHeartbeatAt) {
        // A heartbeat in the future counts as fresh: the elapsed time is negative.
        const double elapsed =
            static_cast<double>(lastHeartbeatAt->msecsTo(m_clock.now())) / 1000.0;
        if (elapsed < protectedWindowSeconds)
            derived = Status::Protected{};
    }
    m_status.set(std::move(derived));
}
