#include "Support/Clock.h"

#include <cmath>

namespace {

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
};

} // namespace

const Clock& Clock::system()
{
    static const SystemClock clock;
    return clock;
}

ManualClock::ManualClock(QDateTime start) : m_msecsSinceEpoch(start.toMSecsSinceEpoch()) {}

QDateTime ManualClock::now() const
{
    return QDateTime::fromMSecsSinceEpoch(m_msecsSinceEpoch.load(), Qt::UTC);
}

void ManualClock::set(QDateTime instant)
{
    m_msecsSinceEpoch.store(instant.toMSecsSinceEpoch());
}

void ManualClock::advance(double seconds)
{
    m_msecsSinceEpoch.fetch_add(static_cast<qint64>(std::llround(seconds * 1000.0)));
}
