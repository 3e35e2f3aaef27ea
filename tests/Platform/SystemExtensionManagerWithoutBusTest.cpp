// The process-wide installer over the system's manager when no system bus can be reached
// (the test points DBUS_SYSTEM_BUS_ADDRESS at a socket that does not exist).
#include "Platform/Log.h"
#include "Platform/SystemExtensionManager.h"
#include "Services/SystemExtensionInstaller.h"
#include "TestSupport/Await.h"

#include <gtest/gtest.h>

namespace {

using Extension = SystemExtensionInstaller::Extension;
using State = SystemExtensionInstaller::ActivationState;

TEST(SystemExtensionManagerWithoutBus, SharedInstallerFailsEveryRequest)
{
    ASSERT_EQ(&SystemExtensionManager::system(), &SystemExtensionManager::system());
    auto& installer = SystemExtensionInstaller::shared();
    ASSERT_EQ(&installer, &SystemExtensionInstaller::shared());
    Log::Capture log;

    installer.activateAll();
    ASSERT_TRUE(processEventsUntil([&] {
        return installer.state().at(Extension::dnsProxy) != State::submitting() &&
               installer.state().at(Extension::contentFilter) != State::submitting();
    }));

    const State failed = State::failed("Activation failed — see Console.app");
    EXPECT_EQ(installer.state().at(Extension::dnsProxy), failed);
    EXPECT_EQ(installer.state().at(Extension::contentFilter), failed);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 4);
    EXPECT_EQ(records[2].level, Log::Level::error);
    EXPECT_TRUE(records[2].message.startsWith("failed ai.orvane.mac.dnsproxy err="))
        << records[2].message.toStdString();
    EXPECT_GT(records[2].message.size(),
              QStringLiteral("failed ai.orvane.mac.dnsproxy err=").size());
}

} // namespace
