#include "Services/ActivityReporter.h"

#include "TestSupport/ScopedEnvironment.h"
#include "TestSupport/ScriptedApplicationActivity.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>

namespace {

const QUuid kChild("{11111111-2222-3333-4444-555555555555}");

// Mid-January: no zone changes its offset around that midnight.
QDateTime local(int day, int h, int mi, int s = 0)
{
    return QDateTime(QDate(2025, 1, day), QTime(h, mi, s), Qt::LocalTime);
}

ActivityEvent event(const QString& type)
{
    return ActivityEvent::make(type, kChild, local(15, 8, 0));
}

QList<ActivityEvent> events(const QString& prefix, int from, int count)
{
    QList<ActivityEvent> list;
    for (int i = from; i < from + count; ++i)
        list << event(prefix + QString::number(i));
    return list;
}

QStringList types(const QList<ActivityEvent>& list)
{
    QStringList out;
    for (const auto& e : list)
        out << e.type;
    return out;
}

QStringList names(const QString& prefix, int from, int count)
{
    return types(events(prefix, from, count));
}

// The whole queue, emptied batch by batch.
QStringList drainAll(ActivityReporter& reporter)
{
    QStringList all;
    for (auto batch = reporter.drain(); !batch.isEmpty(); batch = reporter.drain())
        all << types(batch);
    return all;
}

RunningApplication app(const QString& identifier, const QString& name = {})
{
    return {identifier, name.isEmpty() ? std::nullopt : std::optional<QString>(name)};
}

const RunningApplication kNoIdentifier{std::nullopt, QStringLiteral("Terminal")};

class ActivityReporterTest : public testing::Test {
protected:
    ManualClock clock{local(15, 9, 0)};
    ScriptedApplicationActivity activity;
    ActivityReporter reporter{activity, clock};

    void startWith(const RunningApplication& frontmost)
    {
        activity.setFrontmost(frontmost);
        reporter.startUsageTracking();
    }

    std::map<QString, std::int64_t> seconds()
    {
        std::map<QString, std::int64_t> out;
        if (const auto report = reporter.usageReport())
            for (const auto& item : report->items)
                out[item.packageName] = item.foregroundSeconds;
        return out;
    }
};

using Totals = std::map<QString, std::int64_t>;

// --- Queue ---

struct QueueCase {
    const char* name;
    int queued; // events "q0", "q1", ... recorded first
    std::function<QStringList(ActivityReporter&)> act;
    QStringList returned;
    QStringList remaining;
};

TEST_F(ActivityReporterTest, QueueTable)
{
    const auto none = QStringList{};
    const QueueCase cases[] = {
        {"2001st record drops the oldest", 2000,
         [](ActivityReporter& r) {
             r.record(event(QStringLiteral("new")));
             return QStringList{};
         },
         none, names("q", 1, 1999) << QStringLiteral("new")},
        {"a batch larger than the room pushes out the oldest", 1990,
         [](ActivityReporter& r) {
             r.record(events("b", 0, 30));
             return QStringList{};
         },
         none, names("q", 20, 1970) + names("b", 0, 30)},
        {"a batch of more than 2000 keeps its own last 2000", 10,
         [](ActivityReporter& r) {
             r.record(events("b", 0, 2500));
             return QStringList{};
         },
         none, names("b", 500, 2000)},
        {"drain of an empty queue", 0, [](ActivityReporter& r) { return types(r.drain()); }, none,
         none},
        {"drain of 250 hands out the 100 oldest", 250,
         [](ActivityReporter& r) { return types(r.drain()); }, names("q", 0, 100),
         names("q", 100, 150)},
        {"drain of exactly 100", 100, [](ActivityReporter& r) { return types(r.drain()); },
         names("q", 0, 100), none},
        {"reinsert of 50 into 1990 drops the 40 newest", 1990,
         [](ActivityReporter& r) {
             r.reinsert(events("r", 0, 50));
             return QStringList{};
         },
         none, names("r", 0, 50) + names("q", 0, 1950)},
        {"reinsert of nothing", 5,
         [](ActivityReporter& r) {
             r.reinsert({});
             return QStringList{};
         },
         none, names("q", 0, 5)},
        {"reinsert of more than 2000 keeps its first 2000", 10,
         [](ActivityReporter& r) {
             r.reinsert(events("r", 0, 2100));
             return QStringList{};
         },
         none, names("r", 0, 2000)},
        {"drained batch put back goes in front of newer events", 150,
         [](ActivityReporter& r) {
             const auto batch = r.drain();
             r.record(event(QStringLiteral("new")));
             r.reinsert(batch);
             return QStringList{};
         },
         none, names("q", 0, 150) << QStringLiteral("new")},
    };
    for (const auto& c : cases) {
        ActivityReporter r(activity, clock);
        r.record(events("q", 0, c.queued));
        EXPECT_EQ(c.act(r), c.returned) << c.name;
        EXPECT_EQ(r.count(), c.remaining.size()) << c.name;
        EXPECT_EQ(drainAll(r), c.remaining) << c.name;
    }
}

// --- Which applications are measured ---

TEST_F(ActivityReporterTest, IdentifierTable)
{
    const struct {
        const char* name;
        std::optional<QString> identifier;
        bool measured;
    } cases[] = {
        {"reverse DNS", QStringLiteral("org.example.Editor"), true},
        {"two parts", QStringLiteral("a.b"), true},
        {"digits, hyphens, underscores", QStringLiteral("Org-1_x.2-y_z.3"), true},
        {"200 characters", QStringLiteral("a.") + QString(198, u'b'), true},
        {"201 characters", QStringLiteral("a.") + QString(199, u'b'), false},
        {"no dot", QStringLiteral("editor"), false},
        {"leading digit", QStringLiteral("1org.example"), false},
        {"a space", QStringLiteral("org.example Editor"), false},
        {"empty part", QStringLiteral("org..example"), false},
        {"trailing dot", QStringLiteral("org.example."), false},
        {"trailing line break", QStringLiteral("org.example\n"), false},
        {"non-ASCII letter", QString::fromUtf8("org.\u00e9diteur"), false},
        {"empty", QString(), false},
        {"no identifier at all", std::nullopt, false},
    };
    for (const auto& c : cases) {
        ScriptedApplicationActivity source;
        ActivityReporter r(source, clock);
        source.setFrontmost(RunningApplication{c.identifier, QStringLiteral("App")});
        r.startUsageTracking();
        clock.advance(5);
        const auto report = r.usageReport();
        if (c.measured) {
            ASSERT_TRUE(report) << c.name;
            ASSERT_EQ(report->items.size(), 1) << c.name;
            EXPECT_EQ(report->items[0].packageName, *c.identifier) << c.name;
            EXPECT_EQ(report->items[0].foregroundSeconds, 5) << c.name;
        } else {
            EXPECT_FALSE(report) << c.name;
        }
    }
}

TEST_F(ActivityReporterTest, ApplicationWithoutIdentifierEndsTheSegmentUntilTheNextActivation)
{
    startWith(app("org.example.A"));
    clock.advance(5);
    activity.activate(kNoIdentifier);
    clock.advance(100);
    activity.activate(app("org.example.B"));
    clock.advance(3);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 5}, {"org.example.B", 3}}));
}

// --- Arithmetic ---

TEST_F(ActivityReporterTest, FractionsAreCountedAndReportedTruncated)
{
    startWith(app("org.example.A", "Alpha"));
    clock.advance(10.7);
    activity.activate(app("org.example.B"));
    const QDateTime switched = clock.now();
    clock.advance(0.9);

    auto report = reporter.usageReport();
    ASSERT_TRUE(report);
    // B, under one second, is left out.
    ASSERT_EQ(report->items.size(), 1);
    EXPECT_EQ(report->items[0],
              AppUsageReport::Item::make("org.example.A", QStringLiteral("Alpha"), 10, switched));

    // The fractions are kept: 10.7 + 0.4 passes 11, 0.9 + 0.2 passes 1.
    clock.advance(0.2);
    activity.activate(app("org.example.A"));
    clock.advance(0.4);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 11}, {"org.example.B", 1}}));
}

TEST_F(ActivityReporterTest, LabelIsTheFirstSeenOfTheDayAndCutTo200Characters)
{
    const QString longName = QString(300, u'x');
    startWith(app("org.example.A", longName));
    clock.advance(2);
    activity.activate(app("org.example.A", "Renamed"));
    clock.advance(2);
    activity.activate(app("org.example.B"));
    clock.advance(2);

    const auto report = reporter.usageReport();
    ASSERT_TRUE(report);
    ASSERT_EQ(report->items.size(), 2);
    EXPECT_EQ(report->items[0].appLabel, QString(200, u'x'));
    EXPECT_EQ(report->items[1].appLabel, std::nullopt);
}

TEST_F(ActivityReporterTest, ClockSetBackCountsNothing)
{
    startWith(app("org.example.A"));
    clock.advance(30);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 30}}));
    clock.advance(-3600);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 30}}));
    clock.advance(5);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 35}}));
}

TEST_F(ActivityReporterTest, ReportsCarryTheRunningTotalsOfTheDay)
{
    startWith(app("org.example.A"));
    clock.advance(42);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 42}}));
    clock.advance(60);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 102}}));
}

TEST_F(ActivityReporterTest, FirstCheckpointAfterLocalMidnightStartsTheNewDay)
{
    clock.set(local(15, 23, 59, 0));
    startWith(app("org.example.Old"));
    clock.advance(20);
    activity.activate(app("org.example.A"));
    clock.advance(20);
    auto report = reporter.usageReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->date, QStringLiteral("2025-01-15"));

    // The open segment, from 23:59:40 to 00:00:30, counts wholly on the new day.
    clock.set(local(16, 0, 0, 30));
    report = reporter.usageReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->date, QStringLiteral("2025-01-16"));
    ASSERT_EQ(report->items.size(), 1);
    EXPECT_EQ(report->items[0].packageName, QStringLiteral("org.example.A"));
    EXPECT_EQ(report->items[0].foregroundSeconds, 50);
}

TEST_F(ActivityReporterTest, DayIsTheLocalCalendarDay)
{
    std::optional<AppUsageReport> report;
    {
        // A zone far from UTC, so that a day taken in UTC shows: 11:30 UTC on the 15th is
        // half past midnight of the 16th in Auckland (UTC+13).
        ScopedEnvironment environment;
        environment.set("TZ", "Pacific/Auckland");
        tzset();
        ActivityReporter r(activity, clock);
        clock.set(QDateTime(QDate(2025, 1, 15), QTime(11, 0), Qt::UTC));
        activity.setFrontmost(app("org.example.A"));
        r.startUsageTracking();
        clock.advance(60);
        report = r.usageReport();
    }
    tzset();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->date, QStringLiteral("2025-01-16"));
}

TEST_F(ActivityReporterTest, ReportHoldsAtMost500Applications)
{
    startWith(app("org.example.App0"));
    for (int i = 1; i <= 501; ++i) {
        clock.advance(2);
        activity.activate(app(QStringLiteral("org.example.App%1").arg(i)));
    }
    const auto report = reporter.usageReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->items.size(), 500);
}

TEST_F(ActivityReporterTest, NothingMeasuredGivesNoReport)
{
    EXPECT_FALSE(reporter.usageReport());
    startWith(kNoIdentifier);
    clock.advance(60);
    EXPECT_FALSE(reporter.usageReport());
    activity.setFrontmost(std::nullopt);
    reporter.stopUsageTracking();
    reporter.startUsageTracking();
    clock.advance(60);
    EXPECT_FALSE(reporter.usageReport());
}

// --- Tracking on and off ---

TEST_F(ActivityReporterTest, StartAndStopAreIdempotent)
{
    startWith(app("org.example.A"));
    clock.advance(10);
    activity.setFrontmost(app("org.example.B"));
    reporter.startUsageTracking(); // already on: B is not opened
    EXPECT_EQ(activity.observerCount(), 1u);
    clock.advance(10);
    reporter.stopUsageTracking();
    reporter.stopUsageTracking();
    EXPECT_EQ(activity.observerCount(), 0u);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 20}}));
}

TEST_F(ActivityReporterTest, StoppedTrackingIgnoresActivations)
{
    startWith(app("org.example.A"));
    clock.advance(10);
    reporter.stopUsageTracking();
    activity.activate(app("org.example.B"));
    clock.advance(10);
    // The segment stays open across the stop; B was never seen.
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 20}}));
}

TEST_F(ActivityReporterTest, RestartReplacesTheLeftoverSegmentWithTheFrontmostApplication)
{
    startWith(app("org.example.A"));
    clock.advance(10);
    reporter.stopUsageTracking();
    clock.advance(3600); // asleep
    startWith(app("org.example.B"));
    clock.advance(5);
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 10}, {"org.example.B", 5}}));
}

TEST_F(ActivityReporterTest, RestartWithoutFrontmostApplicationKeepsTheLeftoverSegment)
{
    startWith(app("org.example.A"));
    clock.advance(10);
    reporter.stopUsageTracking();
    clock.advance(50);
    activity.setFrontmost(std::nullopt);
    reporter.startUsageTracking();
    activity.activate(app("org.example.B"));
    EXPECT_EQ(seconds(), (Totals{{"org.example.A", 60}}));
}

TEST_F(ActivityReporterTest, DestroyedReporterLeavesTheSourceAlone)
{
    {
        ActivityReporter r(activity, clock);
        r.startUsageTracking();
        EXPECT_EQ(activity.observerCount(), 1u);
    }
    EXPECT_EQ(activity.observerCount(), 0u);
    activity.activate(app("org.example.A"));
}

} // namespace
