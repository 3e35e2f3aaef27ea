#include "Services/ActivityReporter.h"

#include "Services/MeasuredIdentifier.h"

#include <algorithm>

ActivityReporter::ActivityReporter(ApplicationActivity& activity, const Clock& clock)
    : m_activity(activity), m_clock(clock), m_liveness(std::make_shared<Liveness>())
{
    m_liveness->reporter = this;
    m_buffer.reserve(maximumQueued);
    m_usageDay = dayString(m_clock.now());
}

ActivityReporter::~ActivityReporter()
{
    {
        // Waits for a handler that is under way; later ones find no reporter.
        std::lock_guard guard(m_liveness->mutex);
        m_liveness->reporter = nullptr;
    }
    m_observer.reset();
}

ActivityReporter& ActivityReporter::shared()
{
    // Deliberately never destroyed: handlers and late callers may still reach it at exit.
    static ActivityReporter* const reporter =
        new ActivityReporter(ApplicationActivity::system(), Clock::system());
    return *reporter;
}

void ActivityReporter::record(const ActivityEvent& event)
{
    std::lock_guard lock(m_lock);
    append(event);
}

void ActivityReporter::record(const QList<ActivityEvent>& events)
{
    std::lock_guard lock(m_lock);
    // The same outcome as appending one by one: the last 2000 of queue and events together.
    const auto incoming = static_cast<qsizetype>(events.size());
    if (incoming >= maximumQueued) {
        m_buffer.assign(events.end() - maximumQueued, events.end());
        return;
    }
    const auto overflow = static_cast<qsizetype>(m_buffer.size()) + incoming - maximumQueued;
    if (overflow > 0)
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + overflow);
    m_buffer.insert(m_buffer.end(), events.begin(), events.end());
}

QList<ActivityEvent> ActivityReporter::drain()
{
    std::lock_guard lock(m_lock);
    const auto n = std::min(static_cast<qsizetype>(m_buffer.size()), batchSize);
    QList<ActivityEvent> batch;
    if (n == 0)
        return batch;
    batch.reserve(n);
    std::move(m_buffer.begin(), m_buffer.begin() + n, std::back_inserter(batch));
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + n);
    return batch;
}

void ActivityReporter::reinsert(const QList<ActivityEvent>& events)
{
    if (events.isEmpty())
        return;
    std::lock_guard lock(m_lock);
    // The batch, then the queue, cut to the first 2000; the reserved storage is never outgrown.
    const auto incoming = static_cast<qsizetype>(events.size());
    if (incoming >= maximumQueued) {
        m_buffer.assign(events.begin(), events.begin() + maximumQueued);
        return;
    }
    const auto kept = std::min(static_cast<qsizetype>(m_buffer.size()), maximumQueued - incoming);
    m_buffer.erase(m_buffer.begin() + kept, m_buffer.end());
    m_buffer.insert(m_buffer.begin(), events.begin(), events.end());
}

qsizetype ActivityReporter::count() const
{
    std::lock_guard lock(m_lock);
    return static_cast<qsizetype>(m_buffer.size());
}

void ActivityReporter::startUsageTracking()
{
    std::lock_guard lock(m_lock);
    if (m_observer)
        return;
    // Register before asking for the frontmost application, so that an activation in between
    // is not lost: its handler waits for the lock and then counts from here.
    const auto generation = ++m_observerGeneration;
    m_observer = m_activity.addActivationObserver(
        [liveness = m_liveness, generation](const RunningApplication& application) {
            std::lock_guard guard(liveness->mutex);
            if (liveness->reporter)
                liveness->reporter->handleActivation(application, generation);
        });
    if (const auto frontmost = m_activity.frontmostApplication())
        openSegment(*frontmost, m_clock.now());
}

void ActivityReporter::stopUsageTracking()
{
    std::lock_guard lock(m_lock);
    m_observer.reset();
    closeCurrent(m_clock.now());
}

std::optional<AppUsageReport> ActivityReporter::usageReport()
{
    std::lock_guard lock(m_lock);
    closeCurrent(m_clock.now());
    QList<AppUsageReport::Item> items;
    for (const auto& [identifier, usage] : m_usage) {
        const auto wholeSeconds = static_cast<std::int64_t>(usage.seconds);
        if (wholeSeconds < 1)
            continue;
        if (items.size() == maximumReportItems)
            break;
        items.push_back(
            AppUsageReport::Item::make(identifier, usage.label, wholeSeconds, usage.last));
    }
    if (items.isEmpty())
        return std::nullopt;
    return AppUsageReport{m_usageDay, std::move(items)};
}

void ActivityReporter::handleActivation(const RunningApplication& application,
                                        std::uint64_t generation)
{
    std::lock_guard lock(m_lock);
    // A call that was already under way when its registration ended changes nothing.
    if (!m_observer || generation != m_observerGeneration)
        return;
    const QDateTime now = m_clock.now();
    closeCurrent(now);
    openSegment(application, now);
}

void ActivityReporter::append(const ActivityEvent& event)
{
    if (static_cast<qsizetype>(m_buffer.size()) >= maximumQueued)
        m_buffer.erase(m_buffer.begin());
    m_buffer.push_back(event);
}

void ActivityReporter::openSegment(const RunningApplication& application, const QDateTime& now)
{
    if (application.bundleIdentifier && MeasuredIdentifier::accepts(*application.bundleIdentifier))
        m_current = Segment{*application.bundleIdentifier, application.localizedName, now};
    else
        m_current.reset();
}

void ActivityReporter::closeCurrent(const QDateTime& now)
{
    if (!m_current)
        return;
    // The whole open segment counts on the day it is checkpointed.
    const QString today = dayString(now);
    if (today != m_usageDay) {
        m_usage.clear();
        m_usageDay = today;
    }
    auto& usage =
        m_usage.try_emplace(m_current->id, Usage{m_current->label, 0.0, now}).first->second;
    // A clock set back counts nothing rather than taking time away.
    const double elapsed =
        std::max(0.0, static_cast<double>(m_current->since.msecsTo(now)) / 1000.0);
    usage.seconds += elapsed;
    usage.last = now;
    m_current->since = now;
}

QString ActivityReporter::dayString(const QDateTime& instant)
{
    return instant.toLocalTime().date().toString(QStringLiteral("yyyy-MM-dd"));
}
