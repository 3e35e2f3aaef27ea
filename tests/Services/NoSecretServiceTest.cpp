// The session with no Secret Service at all: no D-Bus session, an empty temporary HOME
// (scripts/without-session-bus). Saves fail, reads are absent, and nothing is written anywhere
// else instead: no plaintext fallback.
#include "Services/AuthStore.h"
#include "TestSupport/ApiClientFixture.h"
#include "TestSupport/FixedDeviceFacts.h"

#include "Models/HeartbeatRequest.h"
#include "Platform/Log.h"

#include <QDir>
#include <QDirIterator>

#include <gtest/gtest.h>

namespace {

const QString token = QStringLiteral("dev-tok-7f3a9c");

QStringList filesBelow(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

class NoSecretServiceTest : public ApiClientFixture {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"));
        home = qEnvironmentVariable("HOME");
        ASSERT_TRUE(filesBelow(home).isEmpty()) << "run under scripts/without-session-bus";
        ApiClientFixture::SetUp();
    }

    QString home;
    KeychainStore keychain; // the default service over the platform's store
    FixedDeviceFacts facts{std::nullopt, QStringLiteral("Laptop"), OsVersion{6, 1, 0}};
    BundleInfo bundle;
};

TEST_F(NoSecretServiceTest, SavesFailWithTheStatusAndReadsAreAbsent)
{
    try {
        keychain.saveDeviceToken(token);
        FAIL() << "the save succeeded";
    } catch (const KeychainStoreError& error) {
        EXPECT_EQ(error, KeychainStoreError::keychainFailure(SecretStore::notAvailable));
    }
    EXPECT_EQ(keychain.readDeviceToken(), std::nullopt);
    EXPECT_EQ(keychain.readDeviceId(), std::nullopt);
    EXPECT_NO_THROW(keychain.clear());
}

TEST_F(NoSecretServiceTest, APairingEndsUnsecuredAndWritesNothingElsewhere)
{
    Log::Capture log;
    AuthStore store(*client, keychain, facts, bundle);
    ASSERT_TRUE(processEventsUntil([&] { return !store.isBootstrapping().get(); }));
    EXPECT_FALSE(store.enrolled().get());
    server.enqueue(ScriptedHttpServer::Answer::json(
        200, R"({"deviceToken":"dev-tok-7f3a9c","deviceId":"6F9619FF-8B86-D011-B42D-00C04FC964FF",)"
             R"("childId":"0E984725-C51C-4BF4-9960-E1C80E27ABA0",)"
             R"("tenantId":"A3BB189E-8BF9-3888-9912-ACE4E6543002"})"));

    await(store.enroll(QStringLiteral("123456")));

    EXPECT_EQ(store.lastError().get(),
              ApiError::unexpected(QStringLiteral("Could not secure device credentials")));
    EXPECT_FALSE(store.enrolled().get());
    EXPECT_EQ(store.deviceId().get(), std::nullopt);
    EXPECT_EQ(client->accessToken(), std::nullopt);
    EXPECT_EQ(filesBelow(home), QStringList());
    for (const QString& line : log.messages())
        EXPECT_FALSE(line.contains(token)) << line.toStdString();
    EXPECT_FALSE(QString::fromUtf8(store.lastError().get()->what()).contains(token));
}

} // namespace
