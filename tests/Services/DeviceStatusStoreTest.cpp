#include "Services/DeviceStatusStore.h"

#include <gtest/gtest.h>

namespace {

using Status = DeviceStatusStore::Status;

const QDateTime now = QDateTime::fromString(QStringLiteral("2025-03-01T08:15:00Z"), Qt::ISODate);

Policy pausedPolicy(std::optional<QDateTime> until)
{
    Policy policy;
    policy.pausedNow = true;
    policy.pausedUntil = std::move(until);
    return policy;
}

class DeviceStatusStoreTest : public ::testing::Test {
protected:
    ManualClock clock{now};
    DeviceStatusStore store{clock};
};

TEST_F(DeviceStatusStoreTest, StartsNotPairedWithoutALastCheck)
{
    EXPECT_EQ(store.status().get(), Status::NotEnrolled{});
    EXPECT_EQ(store.lastCheck().get(), std::nullopt);
}

TEST_F(DeviceStatusStoreTest, TheFirstRuleThatAppliesDecides)
{
    const QDateTime pauseEnd = now.addSecs(3600);
    Policy running;
    running.pausedNow = false;
    running.pausedUntil = pauseEnd; // an end without pausedNow is no pause
    struct Case {
        const char* name;
        bool enrolled;
        std::optional<double> heartbeatAgeSeconds;
        std::optional<Policy> policy;
        Status expected;
    };
    const Case cases[] = {
        {"not paired, even when paused", false, 1, pausedPolicy(pauseEnd), Status::NotEnrolled{}},
        {"paused without an end, heartbeat hours old", true, 5 * 3600, pausedPolicy(std::nullopt),
         Status::Paused{std::nullopt}},
        {"paused with an end, no heartbeat", true, std::nullopt, pausedPolicy(pauseEnd),
         Status::Paused{pauseEnd}},
        {"heartbeat 179.9 s ago", true, 179.9, running, Status::Protected{}},
        {"heartbeat 180 s ago", true, 180, running, Status::Offline{}},
        {"heartbeat 10 s ago, no policy yet", true, 10, std::nullopt, Status::Protected{}},
        {"heartbeat in the future", true, -600, std::nullopt, Status::Protected{}},
        {"no policy and no heartbeat yet", true, std::nullopt, std::nullopt, Status::Offline{}},
    };
    for (const auto& c : cases) {
        std::optional<QDateTime> heartbeat;
        if (c.heartbeatAgeSeconds)
            heartbeat = now.addMSecs(static_cast<qint64>(-*c.heartbeatAgeSeconds * 1000));
        store.refresh(c.enrolled, heartbeat, c.policy);
        EXPECT_EQ(store.status().get(), c.expected) << c.name;
        EXPECT_EQ(store.lastCheck().get(), heartbeat) << c.name;
    }
}

TEST_F(DeviceStatusStoreTest, TheStatusFollowsTheClockOnlyWhenRefreshed)
{
    const QDateTime heartbeat = now;
    store.refresh(true, heartbeat, std::nullopt);
    clock.advance(179.9);
    EXPECT_EQ(store.status().get(), Status::Protected{});
    clock.advance(0.1);
    EXPECT_EQ(store.status().get(), Status::Protected{}); // nothing changes by itself
    store.refresh(true, heartbeat, std::nullopt);
    EXPECT_EQ(store.status().get(), Status::Offline{});
}

TEST_F(DeviceStatusStoreTest, EveryRefreshNotifiesLastCheckThenStatus)
{
    QStringList seen;
    auto checks = store.lastCheck().subscribeToChanges([&](const std::optional<QDateTime>& at) {
        seen << (at ? QStringLiteral("lastCheck ") + at->toString(Qt::ISODate)
                    : QStringLiteral("lastCheck none"));
    });
    auto statuses = store.status().subscribeToChanges([&](const Status& s) { seen << s.label(); });

    store.refresh(true, now, std::nullopt);
    store.refresh(true, now, std::nullopt);

    EXPECT_EQ(seen, (QStringList{"lastCheck 2025-03-01T08:15:00Z", "Protected",
                                 "lastCheck 2025-03-01T08:15:00Z", "Protected"}));
}

TEST_F(DeviceStatusStoreTest, LabelsIgnoreThePayloadAndPausesCompareByTheirEnd)
{
    EXPECT_EQ(Status(Status::Paused{now}).label(), "Paused");
    EXPECT_EQ(Status(Status::Paused{std::nullopt}).label(), "Paused");
    EXPECT_EQ(Status(Status::NotEnrolled{}).label(), "Not paired");
    EXPECT_EQ(Status(Status::Protected{}).label(), "Protected");
    EXPECT_EQ(Status(Status::Offline{}).label(), "Offline");

    // The same instant in another time zone is the same end.
    EXPECT_EQ(Status(Status::Paused{now}), Status(Status::Paused{now.toOffsetFromUtc(3600)}));
    EXPECT_NE(Status(Status::Paused{now}), Status(Status::Paused{std::nullopt}));
    EXPECT_NE(Status(Status::Paused{now}), Status(Status::Paused{now.addSecs(1)}));
    EXPECT_NE(Status(Status::Protected{}), Status(Status::Offline{}));
}

} // namespace
