// KeychainStore over the real Secret Service (a private GNOME Keyring, scripts/with-keyring),
// and over the in-memory double where a failure has to be chosen.
#include "Services/KeychainStore.h"
#include "TestSupport/InMemorySecretStore.h"
#include "TestSupport/SecretTool.h"

#include <gtest/gtest.h>

namespace {

const QUuid deviceId = QUuid::fromString(QStringLiteral("6f9619ff-8b86-d011-b42d-00c04fc964ff"));
const QUuid childId = QUuid::fromString(QStringLiteral("0E984725-C51C-4BF4-9960-E1C80E27ABA0"));

QStringList toolAttributes(const char* account)
{
    return {QStringLiteral("service"), QStringLiteral("ai.orvane.mac.refresh"),
            QStringLiteral("account"), QString::fromLatin1(account)};
}

SecretStore::Attributes item(const char* account)
{
    return {{QStringLiteral("service"), QStringLiteral("ai.orvane.mac.refresh")},
            {QStringLiteral("account"), QString::fromLatin1(account)}};
}

class KeychainStoreTest : public ::testing::Test {
protected:
    void TearDown() override { keychain.clear(); }

    KeychainStore keychain; // the default service over the session's Secret Service
};

TEST_F(KeychainStoreTest, ATokenSavedIsWhatSecretToolShows)
{
    keychain.saveDeviceToken(QStringLiteral("dev-tok.äöü-1"));

    EXPECT_EQ(SecretTool::lookup(toolAttributes("refresh")),
              QByteArray("dev-tok.\xc3\xa4\xc3\xb6\xc3\xbc-1"));
    EXPECT_EQ(keychain.readDeviceToken(), QStringLiteral("dev-tok.äöü-1"));
}

TEST_F(KeychainStoreTest, SavingTwiceLeavesOneItemWithTheSecondValue)
{
    keychain.saveDeviceToken(QStringLiteral("first"));
    keychain.saveDeviceToken(QStringLiteral("second"));

    EXPECT_EQ(SecretTool::count(toolAttributes("refresh")), 1);
    EXPECT_EQ(keychain.readDeviceToken(), QStringLiteral("second"));
}

TEST_F(KeychainStoreTest, IdentifiersAreStoredAsUpperCaseTextAndReadBackEqual)
{
    keychain.saveDeviceId(deviceId);
    keychain.saveChildId(childId);

    EXPECT_EQ(SecretTool::lookup(toolAttributes("deviceId")),
              QByteArray("6F9619FF-8B86-D011-B42D-00C04FC964FF"));
    EXPECT_EQ(SecretTool::lookup(toolAttributes("childId")),
              QByteArray("0E984725-C51C-4BF4-9960-E1C80E27ABA0"));
    EXPECT_EQ(keychain.readDeviceId(), deviceId);
    EXPECT_EQ(keychain.readChildId(), childId);
}

TEST_F(KeychainStoreTest, NothingSavedReadsAsAbsent)
{
    EXPECT_EQ(keychain.readDeviceToken(), std::nullopt);
    EXPECT_EQ(keychain.readDeviceId(), std::nullopt);
    EXPECT_EQ(keychain.readChildId(), std::nullopt);
}

TEST_F(KeychainStoreTest, ItemsWrittenByHandReadByTheirContent)
{
    struct Case {
        const char* name;
        QByteArray stored;
        std::optional<QUuid> expected;
    };
    const Case cases[] = {
        {"lower case", "6f9619ff-8b86-d011-b42d-00c04fc964ff", deviceId},
        {"empty text", "", std::nullopt},
        {"trailing line break", "6F9619FF-8B86-D011-B42D-00C04FC964FF\n", std::nullopt},
        {"braces", "{6F9619FF-8B86-D011-B42D-00C04FC964FF}", std::nullopt},
        {"no hyphens", "6F9619FF8B86D011B42D00C04FC964FF", std::nullopt},
        {"not UTF-8", "6F9619FF-8B86-D011-B42D-00C04FC964F\xff", std::nullopt},
    };
    SecretStore& secrets = SecretStore::system();
    keychain.saveDeviceToken(QStringLiteral("token"));
    keychain.saveChildId(childId);
    for (const auto& c : cases) {
        ASSERT_EQ(secrets.add(item("deviceId"), c.stored), SecretStore::success) << c.name;
        EXPECT_EQ(keychain.readDeviceId(), c.expected) << c.name;
        // The other two items read as before.
        EXPECT_EQ(keychain.readDeviceToken(), QStringLiteral("token")) << c.name;
        EXPECT_EQ(keychain.readChildId(), childId) << c.name;
    }
}

TEST_F(KeychainStoreTest, ATokenThatIsNotUtf8ReadsAsAbsent)
{
    ASSERT_TRUE(SecretTool::store(toolAttributes("refresh"), "tok\xc3\x28"));
    EXPECT_EQ(keychain.readDeviceToken(), std::nullopt);
}

TEST_F(KeychainStoreTest, TextWithoutAUtf8FormIsRefusedBeforeTheKeychainIsTouched)
{
    keychain.saveDeviceToken(QStringLiteral("kept"));
    const QString loneSurrogate = QStringLiteral("tok") + QChar(0xD800);

    try {
        keychain.saveDeviceToken(loneSurrogate);
        FAIL() << "no error";
    } catch (const KeychainStoreError& error) {
        EXPECT_EQ(error, KeychainStoreError::encodingFailed());
    }
    EXPECT_EQ(keychain.readDeviceToken(), QStringLiteral("kept"));
}

TEST_F(KeychainStoreTest, ClearRemovesAllThreeAndNeverFails)
{
    keychain.clear(); // nothing there yet
    keychain.saveDeviceToken(QStringLiteral("token"));
    keychain.saveDeviceId(deviceId);
    keychain.saveChildId(childId);

    keychain.clear();

    EXPECT_EQ(
        SecretTool::count({QStringLiteral("service"), QStringLiteral("ai.orvane.mac.refresh")}), 0);
    EXPECT_EQ(keychain.readDeviceToken(), std::nullopt);
    EXPECT_EQ(keychain.readDeviceId(), std::nullopt);
    EXPECT_EQ(keychain.readChildId(), std::nullopt);
}

TEST_F(KeychainStoreTest, AnotherServiceNameIsAnotherSetOfItems)
{
    KeychainStore other(QStringLiteral("ai.orvane.test.other"));
    other.saveDeviceToken(QStringLiteral("other"));
    keychain.saveDeviceToken(QStringLiteral("ours"));

    keychain.clear();

    EXPECT_EQ(other.readDeviceToken(), QStringLiteral("other"));
    other.clear();
}

class KeychainStoreFailureTest : public ::testing::Test {
protected:
    InMemorySecretStore secrets;
    KeychainStore keychain{QStringLiteral("ai.orvane.mac.refresh"), secrets};
};

TEST_F(KeychainStoreFailureTest, AFailedAddThrowsItsStatusAndTheOldValueIsGone)
{
    keychain.saveDeviceId(deviceId);
    secrets.failAdd(QStringLiteral("deviceId"), SecretStore::accessDenied);
    secrets.clearCalls();

    try {
        keychain.saveDeviceId(childId);
        FAIL() << "no error";
    } catch (const KeychainStoreError& error) {
        EXPECT_EQ(error, KeychainStoreError::keychainFailure(SecretStore::accessDenied));
        EXPECT_EQ(error.status(), -25293);
    }
    // Delete, then add: never an update in place.
    EXPECT_EQ(secrets.calls(), (QStringList{"remove deviceId", "add deviceId"}));
    EXPECT_EQ(keychain.readDeviceId(), std::nullopt);
}

TEST_F(KeychainStoreFailureTest, AnUnreachableStoreFailsSavesAndReadsAsAbsent)
{
    secrets.put(QStringLiteral("ai.orvane.mac.refresh"), QStringLiteral("refresh"), "token");
    secrets.failEverything(SecretStore::notAvailable);

    EXPECT_EQ(keychain.readDeviceToken(), std::nullopt);
    EXPECT_THROW(keychain.saveDeviceToken(QStringLiteral("t")), KeychainStoreError);
    EXPECT_NO_THROW(keychain.clear());
}

TEST_F(KeychainStoreFailureTest, ClearDeletesTokenThenDeviceThenChild)
{
    keychain.clear();
    EXPECT_EQ(secrets.calls(),
              (QStringList{"remove refresh", "remove deviceId", "remove childId"}));
}

} // namespace
