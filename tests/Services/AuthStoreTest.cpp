// AuthStore end to end: the real ApiClient against a scripted HTTP server on 127.0.0.1, and the
// keychain over the real Secret Service (a private GNOME Keyring, scripts/with-keyring), or over
// the in-memory double where a save has to fail.
#include "Services/AuthStore.h"
#include "TestSupport/ApiClientFixture.h"
#include "TestSupport/FixedDeviceFacts.h"
#include "TestSupport/InMemorySecretStore.h"
#include "TestSupport/SecretTool.h"

#include "Models/ActivityEvent.h"
#include "Models/HeartbeatRequest.h"
#include "Support/Json.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const QString token = QStringLiteral("dev-tok-7f3a9c");
const QUuid deviceId = QUuid::fromString(QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF"));
const QUuid childId = QUuid::fromString(QStringLiteral("0E984725-C51C-4BF4-9960-E1C80E27ABA0"));
const QUuid tenantId = QUuid::fromString(QStringLiteral("A3BB189E-8BF9-3888-9912-ACE4E6543002"));

QByteArray enrollAnswer()
{
    return R"({"deviceToken":"dev-tok-7f3a9c","deviceId":"6f9619ff-8b86-d011-b42d-00c04fc964ff",)"
           R"("childId":"0E984725-C51C-4BF4-9960-E1C80E27ABA0","childName":"Anna",)"
           R"("tenantId":"A3BB189E-8BF9-3888-9912-ACE4E6543002","dohHostname":"x.dns.example"})";
}

QString text(const std::optional<QUuid>& id)
{
    return id ? id->toString(QUuid::WithoutBraces).toUpper() : QStringLiteral("none");
}

QString text(const std::optional<ApiError>& error)
{
    return error ? QString::fromUtf8(error->what()) : QStringLiteral("none");
}

/** Every notification of the store's properties after it starts recording, in order. */
class Notifications {
public:
    explicit Notifications(AuthStore& store)
    {
        const auto flag = [this](const char* name) {
            return [this, name](bool value) {
                m_seen << QString::fromLatin1(name) +
                              (value ? QStringLiteral(" true") : QStringLiteral(" false"));
            };
        };
        const auto id = [this](const char* name) {
            return [this, name](const std::optional<QUuid>& value) {
                m_seen << QString::fromLatin1(name) + u' ' + text(value);
            };
        };
        m_subscriptions.push_back(store.enrolled().subscribeToChanges(flag("enrolled")));
        m_subscriptions.push_back(store.deviceId().subscribeToChanges(id("deviceId")));
        m_subscriptions.push_back(store.childId().subscribeToChanges(id("childId")));
        m_subscriptions.push_back(store.tenantId().subscribeToChanges(id("tenantId")));
        m_subscriptions.push_back(
            store.isBootstrapping().subscribeToChanges(flag("isBootstrapping")));
        m_subscriptions.push_back(
            store.lastError().subscribeToChanges([this](const std::optional<ApiError>& e) {
                m_seen << QStringLiteral("lastError ") + text(e);
            }));
    }

    [[nodiscard]] const QStringList& seen() const { return m_seen; }
    void clear() { m_seen.clear(); }

private:
    QStringList m_seen;
    std::vector<Subscription> m_subscriptions;
};

class AuthStoreTest : public ApiClientFixture {
protected:
    void TearDown() override { systemKeychain.clear(); }

    /** A store over the client and keychain, after its start-up task has run. */
    std::unique_ptr<AuthStore> startedStore(KeychainStore& keychain)
    {
        auto store = std::make_unique<AuthStore>(*client, keychain, facts, bundle);
        EXPECT_TRUE(processEventsUntil([&] { return !store->isBootstrapping().get(); }));
        return store;
    }

    /** Sends a heartbeat and returns the Authorization header it carried, if any. */
    std::optional<QByteArray> bearerOfNextRequest()
    {
        server.enqueue(ScriptedHttpServer::Answer::json(200, "{}"));
        await(client->heartbeat(HeartbeatRequest::make("1.1.0.42", std::nullopt, "wifi")));
        return server.requests().last().header("Authorization");
    }

    FixedDeviceFacts facts{QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF"),
                           QStringLiteral("Anna’s Laptop"), OsVersion{6, 1, 0}};
    BundleInfo bundle{
        Json::Value{{"CFBundleShortVersionString", "1.1.0"}, {"CFBundleVersion", "42"}}};
    KeychainStore systemKeychain; // the default service over the session's Secret Service
};

TEST_F(AuthStoreTest, APairingSendsTheRequestSavesTheItemsAndPublishesInOrder)
{
    auto store = startedStore(systemKeychain);
    Notifications notifications(*store);
    server.enqueue(ScriptedHttpServer::Answer::json(201, enrollAnswer()));

    await(store->enroll(QStringLiteral(" 123456\n")));

    ASSERT_EQ(server.requests().size(), 1);
    const auto& request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path(), "/api/v1/device/enroll");
    EXPECT_FALSE(request.hasHeader("Authorization"));
    EXPECT_EQ(Json::parse(request.body), Json::parse(R"({
        "pairingCode": "123456",
        "deviceFingerprint": "28d4f687239ef7f6a6b5eafd2f24a6fb923df9bd10d24a72e7e85805ee3a79cf",
        "model": "Annas Laptop",
        "osVersion": "macOS 6.1.0",
        "appVersion": "1.1.0.42",
        "platform": "MACOS"})"));

    const QStringList item = {"service", "ai.orvane.mac.refresh", "account"};
    EXPECT_EQ(SecretTool::lookup(item + QStringList{"refresh"}), token.toUtf8());
    EXPECT_EQ(SecretTool::lookup(item + QStringList{"deviceId"}),
              QByteArray("6F9619FF-8B86-D011-B42D-00C04FC964FF"));
    EXPECT_EQ(SecretTool::lookup(item + QStringList{"childId"}),
              QByteArray("0E984725-C51C-4BF4-9960-E1C80E27ABA0"));

    EXPECT_EQ(notifications.seen(), (QStringList{"lastError none", "deviceId " + text(deviceId),
                                                 "childId " + text(childId),
                                                 "tenantId " + text(tenantId), "enrolled true"}));
    EXPECT_EQ(bearerOfNextRequest(), "Bearer " + token.toUtf8());
}

TEST_F(AuthStoreTest, TheRequestFallsBackWhenTheDeviceKnowsLittle)
{
    const FixedDeviceFacts bare(std::nullopt, std::nullopt, OsVersion{14, 0, 0});
    AuthStore store(*client, systemKeychain, bare, BundleInfo());
    server.enqueue(ScriptedHttpServer::Answer::json(400, "{}"));

    await(store.enroll(QStringLiteral("123456")));

    ASSERT_EQ(server.requests().size(), 1);
    const Json::Value body = Json::parse(server.requests().at(0).body);
    EXPECT_EQ(body["deviceFingerprint"],
              "ecfd8a52bc5baf21ef614e75b182958fea3ce4713c605e8291415c8667f707af");
    EXPECT_EQ(body["model"], "Mac");
    EXPECT_EQ(body["osVersion"], "macOS 14.0.0");
    EXPECT_EQ(body["appVersion"], "0.0.0.0");
}

TEST_F(AuthStoreTest, PairingCodesAreSixNumericCharactersAfterTrimming)
{
    struct Case {
        const char* name;
        QString code;
        std::optional<QString> sent; // nothing: refused without a request
    };
    const Case cases[] = {
        {"spaces and line breaks around", QStringLiteral(" \t123456\r\n"),
         QStringLiteral("123456")},
        {"ideographic space and line separator", QStringLiteral("\u3000123456\u2028"),
         QStringLiteral("123456")},
        {"Arabic-Indic digits", QStringLiteral("١٢٣٤٥٦"), QStringLiteral("١٢٣٤٥٦")},
        {"full-width digits", QStringLiteral("１２３４５６"), QStringLiteral("１２３４５６")},
        {"a numeral that is no decimal digit", QStringLiteral("12345½"), QStringLiteral("12345½")},
        {"five digits", QStringLiteral("12345"), std::nullopt},
        {"seven digits", QStringLiteral("1234567"), std::nullopt},
        {"a blank inside", QStringLiteral("123 456"), std::nullopt},
        {"a letter", QStringLiteral("12345a"), std::nullopt},
        {"empty", QString(), std::nullopt},
        {"a digit with a combining accent", QStringLiteral("123456\u0301"), std::nullopt},
        {"six keycap emoji",
         QStringLiteral("1\uFE0F\u20E32\uFE0F\u20E33\uFE0F\u20E3"
                        "4\uFE0F\u20E35\uFE0F\u20E36\uFE0F\u20E3"),
         std::nullopt},
    };
    server.setFallback([](const ScriptedHttpServer::Request&) {
        return ScriptedHttpServer::Answer::json(409, R"({"title":"Code already used"})");
    });
    auto store = startedStore(systemKeychain);
    const ApiError refused = ApiError::unexpected(QStringLiteral("Pairing code must be 6 digits"));

    for (const auto& c : cases) {
        const auto requestsBefore = server.requests().size();
        Notifications notifications(*store);
        await(store->enroll(c.code));

        if (c.sent) {
            ASSERT_EQ(server.requests().size(), requestsBefore + 1) << c.name;
            EXPECT_EQ(Json::parse(server.requests().last().body)["pairingCode"],
                      c.sent->toStdString())
                << c.name;
            EXPECT_EQ(store->lastError().get()->userFacingMessage(), "Code already used") << c.name;
        } else {
            EXPECT_EQ(server.requests().size(), requestsBefore) << c.name;
            EXPECT_EQ(store->lastError().get(), refused) << c.name;
            EXPECT_EQ(store->lastError().get()->userFacingMessage(), "Something went wrong.");
            // First cleared, then set.
            EXPECT_EQ(notifications.seen(),
                      (QStringList{"lastError none", "lastError " + text(refused)}))
                << c.name;
        }
        EXPECT_FALSE(store->enrolled().get()) << c.name;
    }
}

TEST_F(AuthStoreTest, AFailedPairingEndsInLastErrorAndChangesNothingElse)
{
    using Answer = ScriptedHttpServer::Answer;
    struct Case {
        const char* name;
        Answer answer;
        QString message;
    };
    const Case cases[] = {
        {"connection dropped", Answer::closeAtOnce(),
         QStringLiteral("Orvane couldn't reach the internet. Please check your connection.")},
        {"refused with a problem title",
         Answer::json(400, R"({"title":"Pairing code expired","traceId":"t-1"})"),
         QStringLiteral("Pairing code expired")},
        {"service error", Answer::json(503, R"({"title":"ignored"})"),
         QStringLiteral("Orvane is having a moment. Please try again shortly.")},
        {"answer without tenantId",
         Answer::json(200,
                      R"({"deviceToken":"t","deviceId":"6F9619FF-8B86-D011-B42D-00C04FC964FF",)"
                      R"("childId":"0E984725-C51C-4BF4-9960-E1C80E27ABA0"})"),
         QStringLiteral("Orvane received an unexpected response.")},
    };
    for (const auto& c : cases) {
        auto store = startedStore(systemKeychain);
        Notifications notifications(*store);
        // Every request gets the answer: Qt sends a request again when the connection drops.
        server.setFallback([answer = c.answer](const auto&) { return answer; });

        await(store->enroll(QStringLiteral("123456")));

        ASSERT_TRUE(store->lastError().get()) << c.name;
        EXPECT_EQ(store->lastError().get()->userFacingMessage(), c.message) << c.name;
        EXPECT_EQ(notifications.seen().size(), 2) << c.name; // cleared, then set
        EXPECT_EQ(systemKeychain.readDeviceToken(), std::nullopt) << c.name;
        EXPECT_EQ(client->accessToken(), std::nullopt) << c.name;
    }
}

TEST_F(AuthStoreTest, AFailedDeviceIdSaveKeepsTheTokenItemAndPublishesNothing)
{
    InMemorySecretStore secrets;
    KeychainStore keychain(QStringLiteral("ai.orvane.mac.refresh"), secrets);
    secrets.failAdd(QStringLiteral("deviceId"), SecretStore::locked);
    client->setAccessToken(QStringLiteral("previous"));
    auto store = startedStore(keychain);
    Notifications notifications(*store);
    server.enqueue(ScriptedHttpServer::Answer::json(200, enrollAnswer()));

    await(store->enroll(QStringLiteral("123456")));

    const ApiError expected =
        ApiError::unexpected(QStringLiteral("Could not secure device credentials"));
    EXPECT_EQ(notifications.seen(), (QStringList{"lastError none", "lastError " + text(expected)}));
    EXPECT_EQ(secrets.secret(QStringLiteral("ai.orvane.mac.refresh"), QStringLiteral("refresh")),
              token.toUtf8());
    EXPECT_EQ(keychain.readDeviceId(), std::nullopt);
    EXPECT_FALSE(secrets.calls().contains("add childId"));
    EXPECT_EQ(client->accessToken(), QStringLiteral("previous"));
    EXPECT_FALSE(QString::fromUtf8(store->lastError().get()->what()).contains(token));
}

TEST_F(AuthStoreTest, ARestoreWithTokenAndDeviceIdButNoChildIdIsPaired)
{
    systemKeychain.saveDeviceToken(token);
    systemKeychain.saveDeviceId(deviceId);

    AuthStore store(*client, systemKeychain, facts, bundle);
    Notifications notifications(store);
    EXPECT_TRUE(store.isBootstrapping().get()); // the constructor does not wait
    ASSERT_TRUE(processEventsUntil([&] { return !store.isBootstrapping().get(); }));

    EXPECT_EQ(notifications.seen(), (QStringList{"childId none", "deviceId " + text(deviceId),
                                                 "enrolled true", "isBootstrapping false"}));
    EXPECT_EQ(store.tenantId().get(), std::nullopt);
    EXPECT_EQ(bearerOfNextRequest(), "Bearer " + token.toUtf8());
}

TEST_F(AuthStoreTest, ARestoreWithoutAUsableDeviceIdStaysUnpaired)
{
    struct Case {
        const char* name;
        std::optional<QByteArray> deviceIdItem;
    };
    const Case cases[] = {{"no deviceId item", std::nullopt}, {"deviceId not a UUID", "device-1"}};
    for (const auto& c : cases) {
        systemKeychain.clear();
        systemKeychain.saveDeviceToken(token);
        systemKeychain.saveChildId(childId);
        if (c.deviceIdItem)
            SecretTool::store({"service", "ai.orvane.mac.refresh", "account", "deviceId"},
                              *c.deviceIdItem);

        AuthStore store(*client, systemKeychain, facts, bundle);
        Notifications notifications(store);
        ASSERT_TRUE(processEventsUntil([&] { return !store.isBootstrapping().get(); }));

        EXPECT_EQ(notifications.seen(), QStringList{"isBootstrapping false"}) << c.name;
        EXPECT_FALSE(store.enrolled().get()) << c.name;
        EXPECT_EQ(client->accessToken(), std::nullopt) << c.name;
        EXPECT_EQ(systemKeychain.readDeviceToken(), token) << c.name; // kept, unused
    }
}

TEST_F(AuthStoreTest, ARenewedTokenFromTheClientIsSavedAndPublishesNothing)
{
    systemKeychain.saveDeviceToken(token);
    systemKeychain.saveDeviceId(deviceId);
    auto store = startedStore(systemKeychain);
    Notifications notifications(*store);
    server.enqueue(
        ScriptedHttpServer::Answer::json(200, R"({"accepted":1,"deviceToken":"renewed-tok-2"})"));

    await(client->reportActivity({ActivityEvent::make(QStringLiteral("app_open"), childId,
                                                      QDateTime::currentDateTimeUtc())}));

    EXPECT_EQ(systemKeychain.readDeviceToken(), QStringLiteral("renewed-tok-2"));
    EXPECT_EQ(SecretTool::count({"service", "ai.orvane.mac.refresh", "account", "refresh"}), 1);
    EXPECT_TRUE(notifications.seen().isEmpty());
}

TEST_F(AuthStoreTest, UnpairingForgetsTheSessionLocallyAndKeepsLastError)
{
    auto store = startedStore(systemKeychain);
    server.enqueue(ScriptedHttpServer::Answer::json(200, enrollAnswer()));
    await(store->enroll(QStringLiteral("123456")));
    await(store->enroll(QStringLiteral("12"))); // leaves a lastError while paired
    ASSERT_TRUE(store->enrolled().get());
    const auto lastError = store->lastError().get();
    const auto requestsBefore = server.requests().size();
    Notifications notifications(*store);

    await(store->unenroll());

    EXPECT_EQ(notifications.seen(),
              (QStringList{"deviceId none", "childId none", "tenantId none", "enrolled false"}));
    EXPECT_EQ(server.requests().size(), requestsBefore); // the service is not told
    EXPECT_EQ(SecretTool::count({"service", "ai.orvane.mac.refresh"}), 0);
    EXPECT_EQ(store->lastError().get(), lastError);
    EXPECT_EQ(bearerOfNextRequest(), std::nullopt);
}

TEST_F(AuthStoreTest, AStoreDestroyedWhileThePairingWaitsPublishesNothing)
{
    auto store = startedStore(systemKeychain);
    server.enqueue(ScriptedHttpServer::Answer::neverAnswer());
    auto pairing = store->enroll(QStringLiteral("123456"));
    ASSERT_TRUE(server.waitForRequests(1));

    store.reset();
    server.closeAllConnections();

    ASSERT_TRUE(processEventsUntil([&] { return pairing.isReady(); }));
    EXPECT_EQ(systemKeychain.readDeviceToken(), std::nullopt);
}

} // namespace
