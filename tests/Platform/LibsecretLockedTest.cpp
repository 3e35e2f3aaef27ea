// A locked collection, in a private session (scripts/with-keyring) whose login collection is
// locked by the test; with no display, the unlock prompt fails at once.
#include "Platform/SecretStore.h"
#include "TestSupport/SecretTool.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>

#include <gtest/gtest.h>

namespace {

SecretStore::Attributes item(const QString& account)
{
    return {{QStringLiteral("service"), QStringLiteral("ai.orvane.test.locked")},
            {QStringLiteral("account"), account}};
}

void lockLoginCollection()
{
    auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    call << QVariant::fromValue(QList<QDBusObjectPath>{
        QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
}

TEST(LibsecretLockedTest, ALockedCollectionAnswersLockedAndKeepsItsItems)
{
    SecretStore& store = SecretStore::system();
    ASSERT_EQ(store.add(item("kept"), "secret"), SecretStore::success);
    lockLoginCollection();

    QByteArray read("untouched");
    EXPECT_EQ(store.copyMatching(item("kept"), read), SecretStore::locked);
    EXPECT_EQ(read, "untouched");
    EXPECT_EQ(store.add(item("new"), "secret"), SecretStore::locked);
    EXPECT_EQ(store.remove(item("kept")), SecretStore::locked);
    EXPECT_EQ(store.remove(item("never stored")), SecretStore::itemNotFound);
}

} // namespace
