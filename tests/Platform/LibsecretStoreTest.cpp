// The Secret Service backend against GNOME Keyring in a private session (scripts/with-keyring).
#include "Platform/SecretStore.h"
#include "TestSupport/SecretTool.h"

#include <gtest/gtest.h>

namespace {

const QString service = QStringLiteral("ai.orvane.test.store");

SecretStore::Attributes item(const QString& account)
{
    return {{QStringLiteral("service"), service}, {QStringLiteral("account"), account}};
}

QStringList toolAttributes(const QString& account)
{
    return {QStringLiteral("service"), service, QStringLiteral("account"), account};
}

class LibsecretStoreTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const char* account : {"a", "b", "bytes", "by-hand", "matches"})
            store.remove(item(QString::fromLatin1(account)));
    }

    SecretStore& store = SecretStore::system();
};

TEST_F(LibsecretStoreTest, AddThenCopyGivesTheBytesBackExactly)
{
    const QByteArray secret("\x00\xff token \xc3\x28 \n", 13);
    ASSERT_EQ(store.add(item("bytes"), secret), SecretStore::success);

    QByteArray read;
    EXPECT_EQ(store.copyMatching(item("bytes"), read), SecretStore::success);
    EXPECT_EQ(read, secret);
}

TEST_F(LibsecretStoreTest, AnItemIsFoundByServiceAndAccountAlone)
{
    // Ours is seen by secret-tool, and one stored by hand under the two attributes is ours.
    ASSERT_EQ(store.add(item("a"), "from the agent"), SecretStore::success);
    EXPECT_EQ(SecretTool::lookup(toolAttributes("a")), QByteArray("from the agent"));

    ASSERT_TRUE(SecretTool::store(toolAttributes("by-hand"), "from a user"));
    QByteArray read;
    EXPECT_EQ(store.copyMatching(item("by-hand"), read), SecretStore::success);
    EXPECT_EQ(read, "from a user");

    // Another account or service is another item.
    EXPECT_EQ(store.copyMatching(item("b"), read), SecretStore::itemNotFound);
    EXPECT_EQ(store.copyMatching({{QStringLiteral("service"), QStringLiteral("ai.orvane.other")},
                                  {QStringLiteral("account"), QStringLiteral("a")}},
                                 read),
              SecretStore::itemNotFound);
}

TEST_F(LibsecretStoreTest, AddingAgainReplacesTheItem)
{
    ASSERT_EQ(store.add(item("a"), "first"), SecretStore::success);
    ASSERT_EQ(store.add(item("a"), "second"), SecretStore::success);

    EXPECT_EQ(SecretTool::count(toolAttributes("a")), 1);
    QByteArray read;
    EXPECT_EQ(store.copyMatching(item("a"), read), SecretStore::success);
    EXPECT_EQ(read, "second");
}

TEST_F(LibsecretStoreTest, RemoveDeletesEveryMatchingItem)
{
    // An item with a further attribute matches too, as it does for SecItemDelete.
    ASSERT_TRUE(SecretTool::store(
        toolAttributes("matches") << QStringLiteral("extra") << QStringLiteral("1"), "one"));
    ASSERT_EQ(store.add(item("matches"), "two"), SecretStore::success);
    ASSERT_EQ(SecretTool::count(toolAttributes("matches")), 2);

    EXPECT_EQ(store.remove(item("matches")), SecretStore::success);
    EXPECT_EQ(SecretTool::count(toolAttributes("matches")), 0);
}

TEST_F(LibsecretStoreTest, AMissingItemIsNotFoundAndLeavesTheBufferAlone)
{
    QByteArray read("untouched");
    EXPECT_EQ(store.copyMatching(item("b"), read), SecretStore::itemNotFound);
    EXPECT_EQ(read, "untouched");
    EXPECT_EQ(store.remove(item("b")), SecretStore::itemNotFound);
}

TEST_F(LibsecretStoreTest, AttributesOtherThanServiceAndAccountAreRefused)
{
    // A delete over a partial attribute set would match far more than one item.
    const SecretStore::Attributes cases[] = {
        {},
        {{QStringLiteral("service"), service}},
        {{QStringLiteral("service"), service},
         {QStringLiteral("account"), QStringLiteral("a")},
         {QStringLiteral("extra"), QStringLiteral("1")}},
    };
    ASSERT_EQ(store.add(item("a"), "kept"), SecretStore::success);
    for (const auto& attributes : cases) {
        QByteArray read;
        EXPECT_EQ(store.add(attributes, "x"), SecretStore::invalidAttributes);
        EXPECT_EQ(store.copyMatching(attributes, read), SecretStore::invalidAttributes);
        EXPECT_EQ(store.remove(attributes), SecretStore::invalidAttributes);
    }
    EXPECT_EQ(SecretTool::lookup(toolAttributes("a")), QByteArray("kept"));
}

} // namespace
