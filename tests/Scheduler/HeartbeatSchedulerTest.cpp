#include "Services/HeartbeatScheduler.h"
#include "Services/ActivityReporter.h"
#include "Services/ApiClient.h"
#include "Services/HttpTransport.h"
#include "Services/AuthStore.h"
#include "Services/KeychainStore.h"
#include "TestSupport/Await.h"
#include "TestSupport/FixedDeviceFacts.h"
#include "TestSupport/InMemorySecretStore.h"
#include "TestSupport/ManualPowerEvents.h"
#include "TestSupport/ScriptedApplicationActivity.h"
#include "TestSupport/ScriptedHttpServer.h"
#include "TestSupport/ScriptedNetworkPathMonitor.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace std::chrono_literals;
using Answer = ScriptedHttpServer::Answer;

namespace {

const QUuid deviceId = QUuid::fromString(QStringLiteral("0F8B7E6A-1C2D-4E5F-8A9B-0C1D2E3F4A5B"));
const QUuid childId = QUuid::fromString(QStringLiteral("6E5D4C3B-2A19-4807-9655-443322110099"));
const QByteArray policyJson =
    R"({"childId":"6E5D4C3B-2A19-4807-9655-443322110099","pausedNow":false})";

/**
 * The scheduler over the real client, session store and reporter, talking to a scripted server;
 * the path monitor and the power events are scripted. Every path answers success unless a test
 * scripts otherwise.
 */
class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        server.setFallback([this](const ScriptedHttpServer::Request& request) {
            const QByteArray path = request.path();
            if (auto it = answers.find(path); it != answers.end())
                return it->second;
            if (path.endsWith("/device/policy"))
                return Answer::json(200, policyJson);
            if (path.endsWith("/device/app-usage"))
                return Answer::json(200, R"({"accepted":1})");
            return Answer::json(200, "{}");
        });
        api = std::make_unique<ApiClient>(&transport, server.url(QStringLiteral("/api/v1")),
                                          QStringLiteral("macos-child/1.1.0"), 5s, BundleInfo());
        activitySource.setFrontmost(
            RunningApplication{QStringLiteral("org.example.Editor"), QStringLiteral("Editor")});
        reporter = std::make_unique<ActivityReporter>(activitySource, clock);
    }

    /** The session store restoring a stored session (or none), done restoring. */
    void makeSession(bool paired)
    {
        if (paired) {
            secrets.put(keychain.service(), QStringLiteral("refresh"), "device-token");
            secrets.put(keychain.service(), QStringLiteral("deviceId"),
                        deviceId.toString(QUuid::WithoutBraces).toUpper().toUtf8());
            secrets.put(keychain.service(), QStringLiteral("childId"),
                        childId.toString(QUuid::WithoutBraces).toUpper().toUtf8());
        }
        auth = std::make_unique<AuthStore>(*api, keychain, facts, BundleInfo());
        ASSERT_TRUE(processEventsUntil([this] { return !auth->isBootstrapping().get(); }));
        ASSERT_EQ(auth->enrolled().get(), paired);
    }

    void makeScheduler(HeartbeatScheduler::Config config, BundleInfo bundle = BundleInfo())
    {
        this->bundle = std::move(bundle);
        auto monitor = std::make_unique<ScriptedNetworkPathMonitor>();
        path = monitor.get();
        scheduler = std::make_unique<HeartbeatScheduler>(*api, *auth, *reporter, config, power,
                                                         std::move(monitor), clock, this->bundle);
    }

    void makePairedScheduler(HeartbeatScheduler::Config config)
    {
        makeSession(true);
        makeScheduler(config);
    }

    QList<QByteArray> paths() const
    {
        QList<QByteArray> list;
        for (const auto& r : server.requests())
            list << r.path();
        return list;
    }

    qsizetype countOf(const QByteArray& suffix) const
    {
        qsizetype n = 0;
        for (const auto& p : paths())
            n += p.endsWith(suffix) ? 1 : 0;
        return n;
    }

    /** Runs the event loop for a while; only used to show that something does NOT happen. */
    static void runFor(int ms)
    {
        processEventsUntil([] { return false; }, ms);
    }

    Json::Value lastBody(const QByteArray& suffix) const
    {
        for (auto it = server.requests().crbegin(); it != server.requests().crend(); ++it)
            if (it->path().endsWith(suffix))
                return Json::parse(it->body);
        return {};
    }

    static constexpr HeartbeatScheduler::Config slow{600, 600, 600};

    HttpTransport transport;
    ScriptedHttpServer server;
    std::map<QByteArray, Answer> answers;
    std::unique_ptr<ApiClient> api;
    InMemorySecretStore secrets;
    KeychainStore keychain{QStringLiteral("ai.orvane.mac.refresh"), secrets};
    FixedDeviceFacts facts{QStringLiteral("HW-UUID"), QStringLiteral("Kid's Laptop"), {6, 1, 0}};
    std::unique_ptr<AuthStore> auth;
    ScriptedApplicationActivity activitySource;
    ManualClock clock{QDateTime(QDate(2025, 3, 1), QTime(12, 0), Qt::UTC)};
    std::unique_ptr<ActivityReporter> reporter;
    ManualPowerEvents power;
    ScriptedNetworkPathMonitor* path = nullptr;
    BundleInfo bundle;
    std::unique_ptr<HeartbeatScheduler> scheduler;
};

TEST_F(SchedulerTest, RefusesIntervalsThatWouldSpin)
{
    makeSession(false);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {0.0, 0.999, -1.0, nan, inf}) {
        for (double HeartbeatScheduler::Config::*field :
             {&HeartbeatScheduler::Config::heartbeatInterval,
              &HeartbeatScheduler::Config::policyPollInterval,
              &HeartbeatScheduler::Config::activityFlushInterval}) {
            HeartbeatScheduler::Config config;
            config.*field = bad;
            EXPECT_THROW(makeScheduler(config), std::invalid_argument) << "value " << bad;
        }
    }
    // Whole seconds of 2^31 ms or more do not fit a timer's milliseconds: they would wrap to
    // a short or negative interval.
    for (double tooLong : {2147484.0, 4294968.0, 1e12, 1e300, std::numeric_limits<double>::max()}) {
        for (double HeartbeatScheduler::Config::*field :
             {&HeartbeatScheduler::Config::heartbeatInterval,
              &HeartbeatScheduler::Config::policyPollInterval,
              &HeartbeatScheduler::Config::activityFlushInterval}) {
            HeartbeatScheduler::Config config;
            config.*field = tooLong;
            EXPECT_THROW(makeScheduler(config), std::invalid_argument) << "value " << tooLong;
        }
    }
    EXPECT_NO_THROW(makeScheduler({2147483.9, 1, 2147483})) << "the longest interval that fits";
    const auto d = HeartbeatScheduler::Config::defaults();
    EXPECT_EQ(d.heartbeatInterval, 60);
    EXPECT_EQ(d.policyPollInterval, 30);
    EXPECT_EQ(d.activityFlushInterval, 120);
}

TEST(HeartbeatSchedulerLabels, FollowTheOrderWifiEthernetCellular)
{
    struct Case {
        NetworkPath path;
        const char* label;
    } cases[] = {
        {{true, true, true, true}, "wifi"},       {{true, false, true, true}, "ethernet"},
        {{true, false, false, true}, "cellular"}, {{true, false, false, false}, "unknown"},
        {{false, true, true, true}, "offline"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HeartbeatScheduler::networkLabel(c.path), QString::fromLatin1(c.label));
}

TEST_F(SchedulerTest, SendsNothingBeforeTheFirstIntervalThenEachCycleOnItsOwnTimer)
{
    makePairedScheduler({2, 1, 3});
    scheduler->start();
    clock.advance(5); // the editor has been in front for five seconds by the first flush
    runFor(500);
    EXPECT_TRUE(server.requests().isEmpty()) << "a cycle ran before its first interval";

    ASSERT_TRUE(processEventsUntil([this] { return countOf("/device/app-usage") == 1; }, 10000));
    const auto seen = paths();
    ASSERT_GE(seen.size(), 3);
    EXPECT_TRUE(seen.first().endsWith("/device/policy")) << seen.first().constData();
    EXPECT_GE(countOf("/device/policy"), 2);
    EXPECT_GE(countOf("/device/heartbeat"), 1);
    EXPECT_EQ(countOf("/device/events/batch"), 0) << "no events were queued";

    const auto usage = lastBody("/device/app-usage");
    EXPECT_EQ(usage["date"], "2025-03-01");
    EXPECT_EQ(usage["items"][0]["packageName"], "org.example.Editor");
    EXPECT_EQ(usage["items"][0]["foregroundSeconds"], 5);

    EXPECT_TRUE(scheduler->lastHeartbeatAt().get().has_value());
    EXPECT_EQ(scheduler->lastPolicyPullAt().get(), clock.now());
    ASSERT_TRUE(scheduler->latestPolicy().get().has_value());
    EXPECT_EQ(scheduler->latestPolicy().get()->childId, childId);
}

TEST_F(SchedulerTest, ASecondStartAddsNoTimersAndStopCancelsThemAll)
{
    makePairedScheduler({1, 1, 1});
    QList<bool> running;
    auto subscription = scheduler->isRunning().subscribe([&](bool r) { running << r; });

    scheduler->start();
    scheduler->start();
    scheduler->stop();
    scheduler->stop();
    runFor(2500);
    EXPECT_TRUE(server.requests().isEmpty()) << "a timer survived stop()";
    EXPECT_EQ(running, (QList<bool>{false, true, false, false}));
    EXPECT_EQ(activitySource.observerCount(), 0u) << "usage tracking still on";
}

TEST_F(SchedulerTest, AnUnpairedDeviceSendsNothing)
{
    makeSession(false);
    makeScheduler({1, 1, 1});
    scheduler->start();
    scheduler->kick();
    runFor(2500);
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_FALSE(scheduler->lastHeartbeatAt().get().has_value());
    EXPECT_TRUE(scheduler->isRunning().get());
}

TEST_F(SchedulerTest, SleepStopsAndWakeStartsAndChecksInAtOnce)
{
    makePairedScheduler(slow);
    power.sleep(); // stopped already: still stopped
    EXPECT_FALSE(scheduler->isRunning().get());

    power.wake();
    EXPECT_TRUE(scheduler->isRunning().get());
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_TRUE(server.requests().at(0).path().endsWith("/device/heartbeat"));
    EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer device-token");

    power.sleep();
    EXPECT_FALSE(scheduler->isRunning().get());
    EXPECT_EQ(activitySource.observerCount(), 0u);
}

TEST_F(SchedulerTest, AServerErrorIsRecordedAndTheNextSuccessClearsIt)
{
    makePairedScheduler({1, 600, 600});
    server.enqueue(Answer::json(500, R"({"title":"down"})"));
    QList<int> statuses;
    auto subscription = scheduler->lastError().subscribe(
        [&](const std::optional<ApiError>& e) { statuses << (e ? e->status() : 0); });

    scheduler->start();
    ASSERT_TRUE(processEventsUntil(
        [this] { return scheduler->lastHeartbeatAt().get().has_value(); }, 10000));
    EXPECT_EQ(statuses, (QList<int>{0, 500, 0}));
    EXPECT_TRUE(scheduler->isRunning().get()) << "a 500 must not stop the timers";
    EXPECT_TRUE(auth->enrolled().get());
}

TEST_F(SchedulerTest, ATransportFailureIsRecordedWithoutUnpairing)
{
    makePairedScheduler(slow);
    // The transport may try a closed connection once more before it gives up.
    for (int i = 0; i < 3; ++i)
        server.enqueue(Answer::closeAtOnce());
    scheduler->kick();
    ASSERT_TRUE(processEventsUntil([this] { return scheduler->lastError().get().has_value(); }));
    EXPECT_TRUE(scheduler->lastError().get()->as<ApiError::Network>());
    EXPECT_TRUE(auth->enrolled().get());
}

struct UnauthorizedCase {
    const char* path;
    HeartbeatScheduler::Config config; // only the cycle that sends this request runs
    bool setsLastError;
};

class SchedulerUnauthorizedTest : public SchedulerTest,
                                  public ::testing::WithParamInterface<UnauthorizedCase> {};

TEST_P(SchedulerUnauthorizedTest, StopsTheSchedulerAndUnpairs)
{
    const UnauthorizedCase& c = GetParam();
    answers[c.path] = Answer::json(401, R"({"title":"revoked"})");
    makePairedScheduler(c.config);
    reporter->record(ActivityEvent::make(QStringLiteral("test"), childId, clock.now()));

    scheduler->start();
    clock.advance(3); // the editor in front for three seconds: there is usage to send
    ASSERT_TRUE(processEventsUntil([this] { return !auth->enrolled().get(); }, 10000));
    EXPECT_FALSE(scheduler->isRunning().get());
    EXPECT_TRUE(secrets.items().isEmpty()) << "the keychain items are gone";
    EXPECT_FALSE(api->accessToken().has_value());
    EXPECT_EQ(scheduler->lastError().get().has_value(), c.setsLastError);
    if (c.setsLastError) {
        EXPECT_EQ(scheduler->lastError().get()->status(), 401);
    }

    if (QByteArray(c.path).endsWith("/events/batch")) {
        EXPECT_TRUE(processEventsUntil([this] { return countOf("/device/app-usage") == 1; }))
            << "the usage is still sent after the 401";
        EXPECT_EQ(reporter->count(), 1) << "the refused batch is queued again";
    }
    // No timer is left: nothing more is sent.
    processEventsUntil([] { return false; }, 200);
    const auto sent = server.requests().size();
    runFor(1500);
    EXPECT_EQ(server.requests().size(), sent);
}

INSTANTIATE_TEST_SUITE_P(
    EachRequest, SchedulerUnauthorizedTest,
    ::testing::Values(UnauthorizedCase{"/api/v1/device/heartbeat", {1, 600, 600}, true},
                      UnauthorizedCase{"/api/v1/device/policy", {600, 1, 600}, true},
                      UnauthorizedCase{"/api/v1/device/events/batch", {600, 600, 1}, false},
                      UnauthorizedCase{"/api/v1/device/app-usage", {600, 600, 1}, false}));

TEST_F(SchedulerTest, ARenewedTokenTheKeychainCouldNotTakeIsSavedAfterALaterHeartbeat)
{
    const struct {
        const char* name;
        std::optional<QByteArray> savedMeanwhile; // by the other program, while locked
        QString expected;
    } cases[] = {
        {"the keychain unlocks", std::nullopt, QStringLiteral("renewed-token")},
        {"the other program saved its own", QByteArray("other-token"), QStringLiteral("other-token")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makePairedScheduler(slow);
        secrets.failEverything(SecretStore::locked);
        answers["/api/v1/device/events/batch"] =
            Answer::json(200, R"({"accepted":1,"deviceToken":"renewed-token"})");
        await(api->reportActivity({ActivityEvent::make(QStringLiteral("test"), childId, clock.now())}));
        const auto heartbeats = countOf("/device/heartbeat");
        scheduler->kick();
        ASSERT_TRUE(processEventsUntil([&] { return countOf("/device/heartbeat") > heartbeats; }));
        runFor(100);

        secrets.failEverything(SecretStore::success);
        EXPECT_EQ(keychain.readDeviceToken(), QStringLiteral("device-token"));
        if (c.savedMeanwhile)
            secrets.put(keychain.service(), QStringLiteral("refresh"), *c.savedMeanwhile);
        scheduler->kick();
        ASSERT_TRUE(processEventsUntil([&] { return countOf("/device/heartbeat") > heartbeats + 1; }));
        runFor(100);
        EXPECT_EQ(keychain.readDeviceToken(), c.expected);
        EXPECT_EQ(api->accessToken(), QStringLiteral("renewed-token"));
        scheduler.reset();
    }
}

TEST_F(SchedulerTest, ARefusalOfATokenRenewedMeanwhileDoesNotUnpairWhenTheKeychainCannotTell)
{
    // The heartbeat goes out with the stored token and waits; meanwhile an activity answer
    // renews the token, which the locked keychain cannot save; then the waiting heartbeat is
    // refused. The refusal is of a token the device no longer uses.
    makePairedScheduler(slow);
    scheduler->start();
    secrets.failEverything(SecretStore::locked);
    answers["/api/v1/device/heartbeat"] = Answer::hold();
    scheduler->kick();
    ASSERT_TRUE(server.waitForRequests(1));
    answers["/api/v1/device/events/batch"] =
        Answer::json(200, R"({"accepted":1,"deviceToken":"renewed-token"})");
    await(api->reportActivity({ActivityEvent::make(QStringLiteral("test"), childId, clock.now())}));
    ASSERT_EQ(api->accessToken(), QStringLiteral("renewed-token"));

    ASSERT_TRUE(server.releaseHeld(Answer::json(401, R"({"title":"old token"})")));
    ASSERT_TRUE(processEventsUntil([this] { return scheduler->lastError().get().has_value(); }));
    runFor(200);
    EXPECT_TRUE(auth->enrolled().get());
    EXPECT_TRUE(scheduler->isRunning().get());
    EXPECT_EQ(api->accessToken(), QStringLiteral("renewed-token"));

    // The token in use refused: that one unpairs.
    answers["/api/v1/device/heartbeat"] = Answer::json(401, R"({"title":"revoked"})");
    scheduler->kick();
    ASSERT_TRUE(processEventsUntil([this] { return !auth->enrolled().get(); }));
    EXPECT_FALSE(scheduler->isRunning().get());
}

TEST_F(SchedulerTest, AFailedBatchGoesBackInFrontAndTheUsageIsStillSent)
{
    makePairedScheduler({600, 600, 1});
    QList<ActivityEvent> events;
    for (int i = 0; i < 250; ++i)
        events << ActivityEvent::make(QStringLiteral("visit"), childId, clock.now(),
                                      {{QStringLiteral("n"), QString::number(i)}});
    reporter->record(events);
    answers["/api/v1/device/events/batch"] = Answer::json(503, "{}");

    scheduler->start();
    clock.advance(4);
    ASSERT_TRUE(processEventsUntil([this] { return countOf("/device/app-usage") == 1; }, 10000));
    scheduler->stop();

    EXPECT_EQ(lastBody("/device/events/batch")["events"].size(), 100u);
    EXPECT_EQ(reporter->count(), 250);
    EXPECT_EQ(reporter->drain(), events.mid(0, 100)) << "the failed batch is first again";
    EXPECT_FALSE(scheduler->lastError().get().has_value()) << "the activity cycle records nothing";
}

TEST_F(SchedulerTest, TheHeartbeatCarriesTheCurrentNetworkTypeAndTheCutVersion)
{
    makeSession(true);
    makeScheduler(slow, BundleInfo(Json::Value{
                            {"CFBundleShortVersionString", "1.1.0-beta.123456789012345"}}));
    processEventsUntil([this] { return scheduler->currentNetworkLabel() == "ethernet"; });

    struct Step {
        NetworkPath path;
        const char* label;
    } steps[] = {
        {ScriptedNetworkPathMonitor::wifi(), "wifi"},
        {ScriptedNetworkPathMonitor::wiredEthernet(), "ethernet"},
        {ScriptedNetworkPathMonitor::offline(), "offline"},
    };
    for (const auto& step : steps) {
        const auto before = server.requests().size();
        path->send(step.path);
        runFor(100);
        EXPECT_EQ(server.requests().size(), before) << "a path change alone sends nothing";
        scheduler->kick();
        ASSERT_TRUE(server.waitForRequests(before + 1));
        const auto body = lastBody("/device/heartbeat");
        EXPECT_EQ(body["networkType"], step.label);
        EXPECT_EQ(body["appVersion"], "1.1.0-beta.123456789");
        EXPECT_FALSE(body.contains("batteryPct"));
    }
}

TEST_F(SchedulerTest, EqualPoliciesAreEmittedEachTime)
{
    makePairedScheduler({600, 1, 600});
    QList<bool> latestHeldWhenEmitted;
    auto subscription = scheduler->policyPublisher().subscribe(
        [&](const Policy& p) { latestHeldWhenEmitted << (scheduler->latestPolicy().get() == p); });
    scheduler->start();
    ASSERT_TRUE(processEventsUntil([&] { return latestHeldWhenEmitted.size() == 2; }, 10000));
    EXPECT_EQ(latestHeldWhenEmitted, (QList<bool>{true, true}));
}

TEST_F(SchedulerTest, AFailedBatchGoesBackEvenWhenTheSchedulerIsGoneDuringTheUpload)
{
    // Under AddressSanitizer this also shows that the resumed cycle touches nothing of the
    // destroyed scheduler.
    makePairedScheduler({600, 600, 1});
    const auto event = ActivityEvent::make(QStringLiteral("visit"), childId, clock.now());
    reporter->record(event);
    server.enqueue(Answer::neverAnswer());
    scheduler->start();
    ASSERT_TRUE(processEventsUntil([this] { return countOf("/device/events/batch") == 1; }, 10000));
    EXPECT_EQ(reporter->count(), 0) << "the batch is under way";

    scheduler.reset();
    // The upload fails after its scheduler is gone (a resent request fails too).
    answers["/api/v1/device/events/batch"] = Answer::json(503, "{}");
    server.closeAllConnections();
    ASSERT_TRUE(processEventsUntil([this] { return reporter->count() == 1; }));
    EXPECT_EQ(reporter->drain(), QList<ActivityEvent>{event});
    runFor(300);
    EXPECT_EQ(countOf("/device/app-usage"), 0) << "a cycle without its scheduler sends nothing more";
}

TEST_F(SchedulerTest, ATickAfterTheSchedulerIsGoneDoesNothing)
{
    makePairedScheduler(slow);
    server.enqueue(Answer::neverAnswer());
    scheduler->kick();
    ASSERT_TRUE(server.waitForRequests(1));
    scheduler.reset(); // the heartbeat is still waiting for its answer
    server.closeAllConnections();
    runFor(300); // the cycle resumes with its scheduler gone and must not touch it
    SUCCEED();
}

} // namespace
