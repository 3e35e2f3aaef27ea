// Two programs of one device (the tray program and the helper) over one real keychain (a
// private Secret Service, scripts/with-keyring) and one scripted service. When one of them is
// handed a renewed token and saves it, the service refuses the old one; the other program, still
// holding the old token, must take the saved one over instead of unpairing the device.
#include "Services/ActivityReporter.h"
#include "Services/ApiClient.h"
#include "Services/AuthStore.h"
#include "Services/HeartbeatScheduler.h"
#include "Services/HttpTransport.h"
#include "Services/KeychainStore.h"
#include "Support/Clock.h"
#include "TestSupport/Await.h"
#include "TestSupport/FixedDeviceFacts.h"
#include "TestSupport/ManualPowerEvents.h"
#include "TestSupport/ScriptedApplicationActivity.h"
#include "TestSupport/ScriptedHttpServer.h"
#include "TestSupport/ScriptedNetworkPathMonitor.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Answer = ScriptedHttpServer::Answer;

namespace {

const QString oldToken = QStringLiteral("token-old-5b1e");
const QString newToken = QStringLiteral("token-new-93c4");
const QUuid deviceId = QUuid::fromString(QStringLiteral("0F8B7E6A-1C2D-4E5F-8A9B-0C1D2E3F4A5B"));
const QUuid childId = QUuid::fromString(QStringLiteral("6E5D4C3B-2A19-4807-9655-443322110099"));

/** One program's object graph over the shared keychain and service. */
struct Program {
    Program(HttpTransport& network, const QUrl& base, HeartbeatScheduler::Config config)
        : api(&network, base, QStringLiteral("macos-child/1.1.0"), 5s, BundleInfo()),
          auth(api, keychain, facts, BundleInfo()), reporter(activitySource, clock),
          scheduler(api, auth, reporter, config, power, std::make_unique<ScriptedNetworkPathMonitor>(),
                    clock, bundle)
    {
        activitySource.setFrontmost(RunningApplication{QStringLiteral("org.example.Editor"), QStringLiteral("Editor")});
    }

    ApiClient api;
    KeychainStore keychain; // the real Secret Service, the agent's own service name
    FixedDeviceFacts facts{QStringLiteral("HW-UUID"), QStringLiteral("Kid's Laptop"), {6, 1, 0}};
    AuthStore auth;
    ScriptedApplicationActivity activitySource;
    ManualClock clock{QDateTime(QDate(2025, 3, 1), QTime(12, 0), Qt::UTC)};
    ActivityReporter reporter;
    ManualPowerEvents power;
    BundleInfo bundle;
    HeartbeatScheduler scheduler;
};

/**
 * The service: a request is refused with 401 unless it carries a valid token; an activity
 * batch is answered with a renewed token while `renewal` is set.
 */
class TwoProgramsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savePairing();
        ASSERT_TRUE(server.listen());
        server.setFallback([this](const ScriptedHttpServer::Request& request) {
            const QByteArray bearer = request.header("Authorization").value_or(QByteArray());
            if (!bearer.startsWith("Bearer ") || !validTokens.contains(QString::fromUtf8(bearer.mid(7))))
                return Answer::json(401, R"({"title":"Unauthorized"})");
            const QByteArray path = request.path();
            if (path.endsWith("/device/policy"))
                return Answer::json(200, R"({"childId":"6E5D4C3B-2A19-4807-9655-443322110099"})");
            if (path.endsWith("/device/app-usage"))
                return Answer::json(200, R"({"accepted":1})");
            if (path.endsWith("/device/events/batch") && renewal)
                return Answer::json(200, R"({"accepted":1,"deviceToken":")" + renewal->toUtf8() + "\"}");
            return Answer::json(200, "{}");
        });
    }

    void TearDown() override { KeychainStore().clear(); }

    /** The device paired with the old token, as both programs find it at start. */
    static void savePairing()
    {
        KeychainStore keychain;
        keychain.clear();
        keychain.saveDeviceToken(oldToken);
        keychain.saveDeviceId(deviceId);
        keychain.saveChildId(childId);
    }

    std::unique_ptr<Program> startedProgram(HeartbeatScheduler::Config config)
    {
        auto program = std::make_unique<Program>(network, server.url(QStringLiteral("/api/v1")), config);
        EXPECT_TRUE(processEventsUntil([&] { return !program->auth.isBootstrapping().get(); }));
        EXPECT_TRUE(program->auth.enrolled().get());
        EXPECT_EQ(program->api.accessToken(), oldToken);
        return program;
    }

    /** The paths of the requests from index `from` on that carried token, in order. */
    QList<QByteArray> pathsCarrying(const QString& token, qsizetype from = 0) const
    {
        QList<QByteArray> paths;
        const auto& all = server.requests();
        for (qsizetype i = from; i < all.size(); ++i)
            if (all[i].header("Authorization") == "Bearer " + token.toUtf8())
                paths << all[i].path();
        return paths;
    }

    static QByteArray savedToken() { return KeychainStore().readDeviceToken().value_or(QStringLiteral("(none)")).toUtf8(); }

    HttpTransport network;
    ScriptedHttpServer server;
    QSet<QString> validTokens{oldToken};
    std::optional<QString> renewal;
};

struct Cycle {
    const char* name;
    HeartbeatScheduler::Config config; // only this cycle's timer comes due during the test
    const char* refusedPath;
};

void PrintTo(const Cycle& cycle, std::ostream* os)
{
    *os << cycle.name;
}

class TakeOverTest : public TwoProgramsTest, public ::testing::WithParamInterface<Cycle> {};

TEST_P(TakeOverTest, ARenewedTokenSavedByTheOtherProgramIsTakenOverInsteadOfUnpairing)
{
    const Cycle& cycle = GetParam();
    auto tray = startedProgram({600, 600, 600});
    auto helper = startedProgram(cycle.config);
    helper->reporter.record(ActivityEvent::make(QStringLiteral("visit"), childId, helper->clock.now()));

    // The tray program's activity answer carries a renewed token; it saves it. From then on
    // the service refuses the old one.
    renewal = newToken;
    await(tray->api.reportActivity({ActivityEvent::make(QStringLiteral("visit"), childId, tray->clock.now())}));
    ASSERT_EQ(tray->api.accessToken(), newToken);
    ASSERT_EQ(savedToken(), newToken.toUtf8());
    renewal.reset();
    validTokens = {newToken};

    // The helper still holds the old token: its request is refused.
    const bool heartbeat = QByteArray(cycle.name) == "heartbeat";
    const qsizetype before = server.requests().size();
    helper->scheduler.start();
    helper->clock.advance(3); // usage to report in the activity cycle
    if (heartbeat)
        helper->scheduler.kick();
    ASSERT_TRUE(processEventsUntil([&] { return !pathsCarrying(oldToken, before).isEmpty(); }, 10000));
    ASSERT_TRUE(pathsCarrying(oldToken, before).front().endsWith(cycle.refusedPath));
    ASSERT_TRUE(processEventsUntil([&] { return helper->api.accessToken() != oldToken; }, 10000));

    // It takes the saved token over: still paired, keychain intact, the next request carries it.
    EXPECT_TRUE(helper->auth.enrolled().get());
    EXPECT_TRUE(helper->scheduler.isRunning().get());
    EXPECT_EQ(helper->api.accessToken(), newToken);
    EXPECT_EQ(savedToken(), newToken.toUtf8());
    EXPECT_EQ(KeychainStore().readDeviceId(), deviceId);
    EXPECT_EQ(KeychainStore().readChildId(), childId);
    EXPECT_TRUE(tray->auth.enrolled().get());
    if (heartbeat)
        helper->scheduler.kick();
    ASSERT_TRUE(processEventsUntil([&] { return !pathsCarrying(newToken, before).isEmpty(); }, 10000))
        << "the helper never used the saved token";
    if (QByteArray(cycle.name) == "activity") {
        EXPECT_TRUE(pathsCarrying(newToken, before).front().endsWith("/device/app-usage"))
            << "the usage of the same cycle already goes with the saved token";
    }
    if (heartbeat) {
        ASSERT_TRUE(processEventsUntil([&] { return helper->scheduler.lastHeartbeatAt().get().has_value(); }));
        EXPECT_FALSE(helper->scheduler.lastError().get().has_value());
    }
    EXPECT_EQ(pathsCarrying(oldToken, before).size(), 1) << "one refusal only";
}

INSTANTIATE_TEST_SUITE_P(EachCycle, TakeOverTest,
                         ::testing::Values(Cycle{"heartbeat", {600, 600, 600}, "/device/heartbeat"},
                                           Cycle{"policy", {600, 1, 600}, "/device/policy"},
                                           Cycle{"activity", {600, 600, 1}, "/device/events/batch"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TwoProgramsTest, ARefusalOfTheSavedTokenOrWithNoneSavedStillUnpairs)
{
    struct Case {
        const char* name;
        std::optional<QString> saved; // the keychain's token when the refusal arrives
    };
    const Case cases[] = {
        {"the saved token itself is refused", oldToken},
        {"the other program has unpaired", std::nullopt},
        {"an empty token is saved", QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        savePairing();
        auto helper = startedProgram({600, 600, 600});
        KeychainStore keychain;
        if (!c.saved)
            keychain.clear();
        else if (*c.saved != oldToken)
            keychain.saveDeviceToken(*c.saved);
        validTokens.clear();

        helper->scheduler.start();
        helper->scheduler.kick();
        ASSERT_TRUE(processEventsUntil([&] { return !helper->auth.enrolled().get(); }, 10000));
        EXPECT_FALSE(helper->scheduler.isRunning().get());
        EXPECT_FALSE(helper->api.accessToken().has_value());
        EXPECT_FALSE(keychain.readDeviceToken().has_value());
        EXPECT_FALSE(keychain.readDeviceId().has_value());
        EXPECT_EQ(helper->scheduler.lastError().get()->status(), 401);
        validTokens = {oldToken};
    }
}

} // namespace
