// Activations posted from several threads while the main thread drains, puts back and reports.
// Plain std::threads and no event loop, so that ThreadSanitizer sees every access.
#include "Services/ActivityReporter.h"

#include "TestSupport/ScriptedApplicationActivity.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

const QUuid kChild("{11111111-2222-3333-4444-555555555555}");
const QDateTime kStart(QDate(2025, 1, 15), QTime(9, 0), Qt::UTC);

RunningApplication app(int n)
{
    return {QStringLiteral("org.example.App%1").arg(n), QStringLiteral("App %1").arg(n)};
}

std::map<QString, std::int64_t> totals(const std::optional<AppUsageReport>& report)
{
    std::map<QString, std::int64_t> out;
    if (report)
        for (const auto& item : report->items)
            out[item.packageName] = item.foregroundSeconds;
    return out;
}

TEST(ActivityReporterConcurrency, TotalsStayConsistent)
{
    constexpr int posters = 4;
    constexpr int activationsPerPoster = 2000;
    constexpr int recorded = 1500;

    ManualClock clock(kStart);
    ScriptedApplicationActivity activity;
    ActivityReporter reporter(activity, clock);
    activity.setFrontmost(app(0));
    reporter.startUsageTracking();

    std::atomic<int> running = posters + 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < posters; ++t) {
        threads.emplace_back([&, t] {
            // Whole seconds only, so that the totals add up exactly.
            for (int i = 0; i < activationsPerPoster; ++i) {
                clock.advance(1);
                activity.activate(app((t * 7 + i) % 20));
            }
            --running;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < recorded; i += 3) {
            QList<ActivityEvent> batch;
            for (int j = i; j < std::min(i + 3, recorded); ++j)
                batch << ActivityEvent::make(QString::number(j), kChild, kStart);
            if (batch.size() == 1)
                reporter.record(batch.front());
            else
                reporter.record(batch);
        }
        --running;
    });

    std::vector<QString> uploaded;
    std::map<QString, std::int64_t> previous;
    for (int round = 0; running > 0; ++round) {
        const auto batch = reporter.drain();
        // Every other batch "fails" and goes back in front.
        if (round % 2 == 0)
            reporter.reinsert(batch);
        else
            for (const auto& e : batch)
                uploaded.push_back(e.type);
        EXPECT_LE(reporter.count(), recorded);

        const auto now = totals(reporter.usageReport());
        std::int64_t sum = 0;
        for (const auto& [id, seconds] : now) {
            sum += seconds;
            EXPECT_GE(seconds, previous[id]) << id.toStdString();
        }
        EXPECT_LE(sum, posters * activationsPerPoster);
        previous = now;
    }
    for (auto& thread : threads)
        thread.join();

    // Each second the clock moved was credited to exactly one application.
    std::int64_t sum = 0;
    for (const auto& [id, seconds] : totals(reporter.usageReport()))
        sum += seconds;
    EXPECT_EQ(sum, posters * activationsPerPoster);

    // Every event recorded is either uploaded or still queued, once.
    for (auto batch = reporter.drain(); !batch.isEmpty(); batch = reporter.drain())
        for (const auto& e : batch)
            uploaded.push_back(e.type);
    EXPECT_EQ(uploaded.size(), static_cast<std::size_t>(recorded));
    std::set<QString> distinct(uploaded.begin(), uploaded.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(recorded));
}

TEST(ActivityReporterConcurrency, TrackingToggledAndReporterDestroyedWhileActivationsArrive)
{
    ManualClock clock(kStart);
    ScriptedApplicationActivity activity;
    std::atomic<bool> stop = false;
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                clock.advance(0.25);
                activity.activate(i % 5 == 0 ? RunningApplication{} : app(t * 10 + i % 10));
            }
        });
    }

    for (int round = 0; round < 50; ++round) {
        auto reporter = std::make_unique<ActivityReporter>(activity, clock);
        for (int toggle = 0; toggle < 20; ++toggle) {
            reporter->startUsageTracking();
            (void)reporter->usageReport();
            reporter->stopUsageTracking();
        }
        reporter->startUsageTracking();
        // Destroyed while handlers may be under way on the posting threads.
        reporter.reset();
    }
    stop = true;
    for (auto& thread : posters)
        thread.join();
    EXPECT_EQ(activity.observerCount(), 0u);
}

} // namespace
