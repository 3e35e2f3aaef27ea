#pragma once

#include <QDateTime>

#include <atomic>

/** Where components read "now". Tests pass a ManualClock and step it. */
class Clock {
public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual QDateTime now() const = 0;

    /** The wall clock; lives for the whole process. */
    static const Clock& system();
};

/** A clock that stands still until it is set or advanced; safe to read from any thread. */
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start);
    [[nodiscard]] QDateTime now() const override;
    void set(QDateTime instant);
    void advance(double seconds);

private:
    mutable std::atomic<qint64> m_msecsSinceEpoch;
};
