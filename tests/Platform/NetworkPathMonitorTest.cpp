#include "Platform/NetworkPathMonitor.h"

#include "TestSupport/Await.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const NetworkPath offline{};
const NetworkPath wiredEthernet{true, false, true, false};
const NetworkPath otherLink{true, false, false, false};

std::string describe(const NetworkPath& path)
{
    if (!path.satisfied)
        return "offline";
    return std::string("satisfied") + (path.usesWifi ? " wifi" : "") +
           (path.usesWiredEthernet ? " ethernet" : "") + (path.usesCellular ? " cellular" : "");
}

std::string namespaceOf(const char* process)
{
    char target[64] = {};
    const ssize_t n = ::readlink((std::string("/proc/") + process + "/ns/net").c_str(), target,
                                 sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

/** Whether links and routes may be changed here: only in a namespace made for this test. */
bool inPrivateNamespace(std::string* why)
{
    if (qEnvironmentVariable("ORVANE_NETNS") != u"1") {
        *why = "needs a private network namespace (run through scripts/in-network-namespace)";
        return false;
    }
    const std::string init = namespaceOf("1");
    if (!init.empty() && init == namespaceOf("self")) {
        *why = "ORVANE_NETNS is set, but this is the machine's own network namespace";
        return false;
    }
    return true;
}

::testing::AssertionResult ip(const QString& arguments)
{
    QProcess process;
    process.start(QStringLiteral("ip"), QProcess::splitCommand(arguments));
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return ::testing::AssertionFailure()
               << "ip " << arguments.toStdString() << ": " << process.errorString().toStdString()
               << " " << process.readAllStandardError().toStdString();
    return ::testing::AssertionSuccess();
}

TEST(NetworkPathMonitor, followsTheDefaultRouteThroughLinkAndRouteChanges)
{
    std::string why;
    if (!inPrivateNamespace(&why))
        GTEST_SKIP() << why;

    std::vector<NetworkPath> updates;
    const auto monitor = NetworkPathMonitor::create();
    monitor->start([&](const NetworkPath& path) { updates.push_back(path); });
    EXPECT_TRUE(updates.empty()) << "the first path comes after start() has returned";
    ASSERT_TRUE(processEventsUntil([&] { return !updates.empty(); }, 10000));
    EXPECT_EQ(updates.front(), offline) << "a new namespace has no default route";

    struct Step {
        const char* what;
        std::vector<const char*> commands;
        NetworkPath expected;
    };
    const std::vector<Step> steps = {
        {"an IPv4 default route over a veth link",
         {"link add orv0 type veth peer name orv1", "link set orv0 up", "link set orv1 up",
          "route add default dev orv0"},
         wiredEthernet},
        {"the peer goes down, so the route has no carrier", {"link set orv1 down"}, offline},
        {"the peer is back", {"link set orv1 up"}, wiredEthernet},
        {"the default route is deleted", {"route del default dev orv0"}, offline},
        {"an IPv6 default route", {"-6 route add default dev orv0"}, wiredEthernet},
        {"a lower-metric IPv4 default route over loopback, no known kind of link",
         {"link set lo up", "route add default dev lo"},
         otherLink},
        {"the links and routes go away", {"link del orv0", "route del default dev lo"}, offline},
    };
    for (const auto& step : steps) {
        for (const char* command : step.commands)
            ASSERT_TRUE(ip(QString::fromLatin1(command))) << step.what;
        EXPECT_TRUE(processEventsUntil([&] { return updates.back() == step.expected; }, 10000))
            << step.what << ": expected " << describe(step.expected) << ", last update "
            << describe(updates.back());
    }
    for (std::size_t i = 1; i < updates.size(); ++i)
        EXPECT_NE(updates[i], updates[i - 1]) << "update " << i << " repeats the one before";
}

TEST(NetworkPathMonitor, cancelledBeforeItsFirstUpdateDeliversNothing)
{
    int cancelledUpdates = 0;
    const auto cancelled = NetworkPathMonitor::create();
    cancelled->start([&](const NetworkPath&) { ++cancelledUpdates; });
    cancelled->cancel();

    // Started later, so its first update is queued behind the cancelled one's.
    bool sentinelUpdated = false;
    const auto sentinel = NetworkPathMonitor::create();
    sentinel->start([&](const NetworkPath&) { sentinelUpdated = true; });
    ASSERT_TRUE(processEventsUntil([&] { return sentinelUpdated; }, 10000));
    EXPECT_EQ(cancelledUpdates, 0);
}

TEST(NetworkPathMonitor, mayBeDestroyedByItsOwnHandler)
{
    std::unique_ptr<NetworkPathMonitor> monitor = NetworkPathMonitor::create();
    bool destroyed = false;
    monitor->start([&](const NetworkPath&) {
        monitor.reset();
        destroyed = true;
    });
    ASSERT_TRUE(processEventsUntil([&] { return destroyed; }, 10000));
}

} // namespace
