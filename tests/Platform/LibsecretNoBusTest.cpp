// The Secret Service backend with no D-Bus session at all (scripts/without-session-bus): every
// call answers, with a failure status, instead of waiting for a bus that is not there.
#include "Platform/SecretStore.h"

#include <gtest/gtest.h>

namespace {

TEST(LibsecretNoBusTest, EveryCallAnswersNotAvailable)
{
    ASSERT_TRUE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"));
    ASSERT_TRUE(qEnvironmentVariableIsEmpty("DISPLAY"));
    const SecretStore::Attributes item = {{QStringLiteral("service"), QStringLiteral("s")},
                                          {QStringLiteral("account"), QStringLiteral("a")}};
    SecretStore& store = SecretStore::system();

    // Twice: a failed connection must not be remembered as a success.
    for (int round = 0; round < 2; ++round) {
        QByteArray read("untouched");
        EXPECT_EQ(store.add(item, "secret"), SecretStore::notAvailable);
        EXPECT_EQ(store.copyMatching(item, read), SecretStore::notAvailable);
        EXPECT_EQ(read, "untouched");
        EXPECT_EQ(store.remove(item), SecretStore::notAvailable);
    }
}

} // namespace
