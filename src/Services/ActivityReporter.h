#pragma once

#include "Models/ActivityEvent.h"
#include "Models/AppUsageReport.h"
#include "Platform/ApplicationActivity.h"
#include "Services/MeasuredIdentifier.h"
#include "Support/Clock.h"
#include "Support/Subscription.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

/**
 * Holds the activity events waiting for upload and measures how long each application is in
 * front on the current local day. Every operation may be called from any thread and takes one
 * lock for its whole duration; activations arrive on the activity source's thread.
 */
class ActivityReporter {
public:
    static constexpr qsizetype maximumQueued = 2000;
    static constexpr qsizetype batchSize = 100;
    static constexpr qsizetype maximumIdentifierLength = MeasuredIdentifier::maximumLength;
    static constexpr qsizetype maximumReportItems = 500;

    /** activity and clock must outlive the reporter. */
    ActivityReporter(ApplicationActivity& activity, const Clock& clock);
    /** Waits for an activation being handled; no handler reaches the reporter afterwards. */
    ~ActivityReporter();
    ActivityReporter(const ActivityReporter&) = delete;
    ActivityReporter& operator=(const ActivityReporter&) = delete;

    /** The process's reporter, over the desktop's activity and the wall clock; never destroyed. */
    static ActivityReporter& shared();

    /** Appends the event; a full queue first drops its oldest one. */
    void record(const ActivityEvent& event);
    /** Appends the events in order, each as record(event) would. */
    void record(const QList<ActivityEvent>& events);
    /** Removes and returns the oldest events, at most 100, oldest first. */
    [[nodiscard]] QList<ActivityEvent> drain();
    /** Puts a batch back in front of the queue; on overflow the newest events are dropped. */
    void reinsert(const QList<ActivityEvent>& events);
    [[nodiscard]] qsizetype count() const;

    /** Measures from the frontmost application on; does nothing when already tracking. */
    void startUsageTracking();
    /** Stops following activations and counts the open segment up to now. */
    void stopUsageTracking();
    /** The current day's totals, whole seconds of one or more; none when there is nothing. */
    [[nodiscard]] std::optional<AppUsageReport> usageReport();

private:
    struct Usage {
        std::optional<QString> label;
        double seconds = 0;
        QDateTime last;
    };
    struct Segment {
        QString id;
        std::optional<QString> label;
        QDateTime since;
    };
    // What activation handlers hold: the reporter, until it is destroyed.
    struct Liveness {
        std::mutex mutex;
        ActivityReporter* reporter = nullptr;
    };

    void handleActivation(const RunningApplication& application, std::uint64_t generation);

    // These run with m_lock held.
    void append(const ActivityEvent& event);
    void openSegment(const RunningApplication& application, const QDateTime& now);
    void closeCurrent(const QDateTime& now);
    static QString dayString(const QDateTime& instant);

    ApplicationActivity& m_activity;
    const Clock& m_clock;
    const std::shared_ptr<Liveness> m_liveness;

    mutable std::mutex m_lock;
    std::vector<ActivityEvent> m_buffer;
    std::map<QString, Usage> m_usage;
    QString m_usageDay;
    std::optional<Segment> m_current;
    std::optional<Subscription> m_observer;
    // Tells a late handler of an ended registration from the current one.
    std::uint64_t m_observerGeneration = 0;
};
