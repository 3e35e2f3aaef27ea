#pragma once

#include "Models/Policy.h"
#include "Support/Clock.h"
#include "Support/Observable.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <type_traits>
#include <variant>

/**
 * The protection status the menu bar shows, derived from the pairing state, the last
 * successful heartbeat and the parent's pause. Changes only in refresh(). Main thread.
 */
class DeviceStatusStore {
public:
    /** Equal when the same case and, for paused, the same end (or both without one). */
    class Status {
    public:
        struct Paused {
            std::optional<QDateTime> until;
            bool operator==(const Paused&) const = default;
        };
        struct NotEnrolled {
            bool operator==(const NotEnrolled&) const = default;
        };
        struct Protected {
            bool operator==(const Protected&) const = default;
        };
        struct Offline {
            bool operator==(const Offline&) const = default;
        };
        using Case = std::variant<Paused, NotEnrolled, Protected, Offline>;

        Status() : m_case(NotEnrolled{}) {}
        /** A status from one of its cases, as Status(Status::Protected{}). */
        template <typename C>
        requires std::is_constructible_v<Case, C> Status(C value)
            : m_case(std::move(value)) // NOLINT: each case is a status
        {
        }

        [[nodiscard]] const Case& value() const { return m_case; }
        template <typename C> [[nodiscard]] const C* as() const { return std::get_if<C>(&m_case); }
        /** "Paused", "Not paired", "Protected" or "Offline"; ignores the payload. */
        [[nodiscard]] QString label() const;

        bool operator==(const Status&) const = default;

    private:
        Case m_case;
    };

    /** A heartbeat younger than this keeps the device protected. */
    static constexpr double protectedWindowSeconds = 180.0;

    /** clock must outlive the store. */
    explicit DeviceStatusStore(const Clock& clock = Clock::system());

    /** Published: the derived status; notEnrolled at first. */
    [[nodiscard]] Observable<Status>& status() { return m_status; }
    /** Published: the last successful heartbeat as last passed to refresh(). */
    [[nodiscard]] Observable<std::optional<QDateTime>>& lastCheck() { return m_lastCheck; }

    /** Sets lastCheck, then status; both notify on every call, also when unchanged. */
    void refresh(bool enrolled, const std::optional<QDateTime>& lastHeartbeatAt,
                 const std::optional<Policy>& policy);

private:
    const Clock& m_clock;
    Observable<Status> m_status{Status::NotEnrolled{}};
    Observable<std::optional<QDateTime>> m_lastCheck{std::nullopt};
};
