#include "Platform/Linux/SystemdExtensionManager.h"

#include "FakeSystemd.h"
#include "Services/SystemExtensionInstaller.h"
#include "TestSupport/Await.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

namespace {

using Kind = SystemExtensionManager::RequestKind;

const QString dnsProxyId = QStringLiteral("ai.orvane.mac.dnsproxy");
const QString dnsProxyUnit = QStringLiteral("ai.orvane.mac.dnsproxy.service");
const QString contentFilterId = QStringLiteral("ai.orvane.mac.contentfilter");
const QString contentFilterUnit = QStringLiteral("ai.orvane.mac.contentfilter.service");

// Writes down every answer, and whether it came on the main thread.
class RecordingDelegate : public SystemExtensionRequestDelegate {
public:
    int actionForReplacingExtension(const QString&, const QString&) override
    {
        note("replace?");
        return replaceAction;
    }
    void requestNeedsUserApproval() override { note("needs approval"); }
    void didFinishWithResult(int result) override
    {
        note(QStringLiteral("finished %1").arg(result));
    }
    void didFailWithError(const QString& error) override { note("failed: " + error); }

    QStringList answers;
    bool offMainThread = false;

private:
    void note(const QString& answer)
    {
        offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        answers << answer;
    }
};

// The backend on the system bus, which the test wrapper points at a private bus where the
// fake systemd runs on a connection of its own.
class SystemdExtensionManagerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(systemd.isOnBus()) << "no private bus to run on"; }

    std::shared_ptr<RecordingDelegate> submit(Kind kind, const QString& identifier)
    {
        auto delegate = std::make_shared<RecordingDelegate>();
        manager.submitRequest(kind, identifier, delegate);
        EXPECT_TRUE(delegate->answers.isEmpty()) << "answered inside submitRequest";
        return delegate;
    }

    static bool answered(const std::shared_ptr<RecordingDelegate>& delegate)
    {
        return processEventsUntil([&] { return !delegate->answers.isEmpty(); }, 20000);
    }

    FakeSystemd systemd{
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("fake-systemd"))};
    SystemdExtensionManager manager{QDBusConnection::systemBus()};
};

TEST_F(SystemdExtensionManagerTest, UnitNamesFollowTheIdentifiers)
{
    EXPECT_EQ(SystemdExtensionManager::unitName(dnsProxyId), dnsProxyUnit);
    EXPECT_EQ(SystemdExtensionManager::unitName(contentFilterId), contentFilterUnit);
}

TEST_F(SystemdExtensionManagerTest, AnswersFollowTheUnitsJobs)
{
    struct Case {
        const char* name;
        Kind kind;
        FakeSystemd::Outcome outcome;
        QString expected;
    };
    const Case cases[] = {
        {"start job done", Kind::activation, FakeSystemd::Outcome::done, "finished 0"},
        {"stop job done", Kind::deactivation, FakeSystemd::Outcome::done, "finished 0"},
        {"removal before the reply", Kind::activation, FakeSystemd::Outcome::removedBeforeReply,
         "finished 0"},
        {"start job failed", Kind::activation, FakeSystemd::Outcome::failed,
         "failed: The job for ai.orvane.mac.dnsproxy.service ended with result \"failed\""},
        {"interactive authorisation refused", Kind::activation,
         FakeSystemd::Outcome::authorisationRequired, "needs approval"},
        {"access denied", Kind::activation, FakeSystemd::Outcome::accessDenied,
         "failed: Access denied (org.freedesktop.DBus.Error.AccessDenied)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        systemd.script(dnsProxyUnit, c.outcome);
        auto delegate = submit(c.kind, dnsProxyId);
        ASSERT_TRUE(answered(delegate));
        // Let anything else that would arrive for this request arrive.
        auto probe = submit(Kind::activation, "unknown");
        ASSERT_TRUE(answered(probe));
        EXPECT_EQ(delegate->answers, QStringList{c.expected});
        EXPECT_FALSE(delegate->offMainThread);
    }
}

TEST_F(SystemdExtensionManagerTest, CallsSubscribeFirstAndReplacesConflictingJobs)
{
    systemd.script(dnsProxyUnit, FakeSystemd::Outcome::done);
    systemd.script(contentFilterUnit, FakeSystemd::Outcome::done);
    auto start = submit(Kind::activation, dnsProxyId);
    auto stop = submit(Kind::deactivation, contentFilterId);
    ASSERT_TRUE(answered(start));
    ASSERT_TRUE(answered(stop));

    EXPECT_EQ(systemd.calls, (QStringList{"Subscribe", "StartUnit " + dnsProxyUnit + " replace",
                                          "StopUnit " + contentFilterUnit + " replace"}));
}

TEST_F(SystemdExtensionManagerTest, MissingUnitFailsWithSystemdsText)
{
    auto delegate = submit(Kind::activation, dnsProxyId);
    ASSERT_TRUE(answered(delegate));
    EXPECT_EQ(delegate->answers,
              QStringList{"failed: Unit ai.orvane.mac.dnsproxy.service not found. "
                          "(org.freedesktop.systemd1.NoSuchUnit)"});
}

TEST_F(SystemdExtensionManagerTest, RequestsSharingOneJobAreAllAnswered)
{
    systemd.script(dnsProxyUnit, FakeSystemd::Outcome::pending);
    auto first = submit(Kind::activation, dnsProxyId);
    auto second = submit(Kind::activation, dnsProxyId);
    ASSERT_TRUE(processEventsUntil([&] { return systemd.calls.size() == 3; }));
    auto probe = submit(Kind::activation, "unknown"); // both job paths are back once this is
    ASSERT_TRUE(answered(probe));
    EXPECT_TRUE(first->answers.isEmpty());

    systemd.completeJob(dnsProxyUnit, "canceled");
    ASSERT_TRUE(answered(first));
    ASSERT_TRUE(answered(second));
    const QString canceled =
        "failed: The job for ai.orvane.mac.dnsproxy.service ended with result \"canceled\"";
    EXPECT_EQ(first->answers, QStringList{canceled});
    EXPECT_EQ(second->answers, QStringList{canceled});
}

TEST_F(SystemdExtensionManagerTest, SystemdLeavingTheBusFailsWaitingRequests)
{
    systemd.script(dnsProxyUnit, FakeSystemd::Outcome::pending);
    auto delegate = submit(Kind::activation, dnsProxyId);
    auto probe = submit(Kind::activation, "unknown");
    ASSERT_TRUE(answered(probe));
    ASSERT_TRUE(delegate->answers.isEmpty());

    systemd.leaveBus();
    ASSERT_TRUE(answered(delegate));
    EXPECT_EQ(delegate->answers,
              QStringList{"failed: org.freedesktop.systemd1 left the bus before the job ended"});
}

TEST_F(SystemdExtensionManagerTest, KeepsTheDelegateUntilTheLastAnswer)
{
    systemd.script(dnsProxyUnit, FakeSystemd::Outcome::pending);
    auto delegate = std::make_shared<RecordingDelegate>();
    std::weak_ptr<RecordingDelegate> watch = delegate;
    manager.submitRequest(Kind::activation, dnsProxyId, std::move(delegate));
    auto probe = submit(Kind::activation, "unknown");
    ASSERT_TRUE(answered(probe));
    ASSERT_FALSE(watch.expired());

    systemd.completeJob(dnsProxyUnit, "done");
    ASSERT_TRUE(processEventsUntil([&] { return watch.expired(); }));
}

TEST_F(SystemdExtensionManagerTest, InstallerOverSystemdBecomesActive)
{
    systemd.script(dnsProxyUnit, FakeSystemd::Outcome::done);
    systemd.script(contentFilterUnit, FakeSystemd::Outcome::authorisationRequired);
    SystemExtensionInstaller installer(manager);

    installer.activateAll();
    using State = SystemExtensionInstaller::ActivationState;
    ASSERT_TRUE(processEventsUntil(
        [&] {
            return installer.state().at(SystemExtensionInstaller::Extension::contentFilter) !=
                       State::submitting() &&
                   installer.state().at(SystemExtensionInstaller::Extension::dnsProxy) !=
                       State::submitting();
        },
        20000));
    EXPECT_TRUE(installer.isActive(SystemExtensionInstaller::Extension::dnsProxy));
    EXPECT_EQ(installer.state().at(SystemExtensionInstaller::Extension::contentFilter),
              State::needsUserApproval());
    EXPECT_FALSE(installer.allActive());
}

TEST(SystemdExtensionManagerWithoutBus, FailsThroughTheDelegateLater)
{
    auto bus = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/orvane-bus"),
                                             QStringLiteral("no-bus"));
    ASSERT_FALSE(bus.isConnected());
    SystemdExtensionManager manager(bus);
    auto delegate = std::make_shared<RecordingDelegate>();

    manager.submitRequest(Kind::activation, dnsProxyId, delegate);
    EXPECT_TRUE(delegate->answers.isEmpty()) << "answered inside submitRequest";
    ASSERT_TRUE(processEventsUntil([&] { return !delegate->answers.isEmpty(); }));

    ASSERT_EQ(delegate->answers.size(), 1);
    EXPECT_TRUE(delegate->answers[0].startsWith("failed: ")) << delegate->answers[0].toStdString();
    EXPECT_GT(delegate->answers[0].size(), QStringLiteral("failed: ").size());
    QDBusConnection::disconnectFromBus(QStringLiteral("no-bus"));
}

} // namespace
