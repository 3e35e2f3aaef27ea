// What each operation sends: method, path, headers, body, token.
#include "TestSupport/ApiClientFixture.h"

#include <QSet>

using namespace std::chrono_literals;
using Answer = ScriptedHttpServer::Answer;

namespace {

const QUuid kChild("{11111111-2222-3333-4444-555555555555}");
const QDateTime kWhen(QDate(2025, 3, 1), QTime(8, 15, 0, 900), Qt::UTC);
const char* kEnrollAnswer =
    R"({"deviceToken":"fresh-token","deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"})";
const char* kPolicyAnswer = R"({"childId":"11111111-2222-3333-4444-555555555555"})";

struct Expected {
    QByteArray method;
    QByteArray target;
    std::optional<QByteArray> body; // absent: no body and no Content-Type
    std::optional<QByteArray> authorization;
};

void expectRequest(const ScriptedHttpServer::Request& r, const Expected& e)
{
    EXPECT_EQ(r.method, e.method);
    EXPECT_EQ(r.target, e.target);
    EXPECT_EQ(r.header("Accept"), QByteArray("application/json"));
    EXPECT_EQ(r.header("X-Orvane-Client"), QByteArray("test-client/1.0"));
    EXPECT_EQ(r.header("Authorization"), e.authorization);
    if (e.body) {
        EXPECT_EQ(r.header("Content-Type"), QByteArray("application/json"));
        EXPECT_EQ(r.body, *e.body);
    } else {
        EXPECT_FALSE(r.hasHeader("Content-Type"));
        EXPECT_TRUE(r.body.isEmpty());
    }
    EXPECT_FALSE(r.hasHeader("Cookie"));
}

class ApiClientRequests : public ApiClientFixture, public ::testing::WithParamInterface<bool> {
protected:
    std::optional<QByteArray> bearer() const
    {
        return GetParam() ? std::optional<QByteArray>("Bearer held-token") : std::nullopt;
    }
    void SetUp() override
    {
        ApiClientFixture::SetUp();
        if (GetParam())
            client->setAccessToken(QStringLiteral("held-token"));
    }
};

TEST_P(ApiClientRequests, EnrollIsAnonymousAlways)
{
    server.enqueue(Answer::json(200, kEnrollAnswer));
    const auto request = EnrollRequest::make("123456", "fp", "Mac", "14.1", "1.1.0", "MACOS");
    const EnrollResponse response = await(client->enroll(request));
    EXPECT_EQ(response.deviceToken, QStringLiteral("fresh-token"));
    ASSERT_EQ(server.requests().size(), 1);
    expectRequest(server.requests()[0], {"POST", "/api/v1/device/enroll", Json::encode(request), std::nullopt});
    EXPECT_EQ(client->accessToken(), GetParam() ? std::optional<QString>("held-token") : std::nullopt)
        << "enroll leaves the token to the session store";
}

TEST_P(ApiClientRequests, Heartbeat)
{
    server.enqueue(Answer::json(200, "{}"));
    const auto request = HeartbeatRequest::make("1.1.0", std::nullopt, "wifi");
    await(client->heartbeat(request));
    ASSERT_EQ(server.requests().size(), 1);
    expectRequest(server.requests()[0],
                  {"POST", "/api/v1/device/heartbeat", R"({"appVersion":"1.1.0","networkType":"wifi"})", bearer()});
}

TEST_P(ApiClientRequests, FetchPolicyHasNoBody)
{
    server.enqueue(Answer::json(200, kPolicyAnswer));
    const Policy policy = await(client->fetchPolicy());
    EXPECT_EQ(policy, Policy{kChild});
    ASSERT_EQ(server.requests().size(), 1);
    expectRequest(server.requests()[0], {"GET", "/api/v1/device/policy", std::nullopt, bearer()});
}

TEST_P(ApiClientRequests, ReportActivity)
{
    server.enqueue(Answer::json(200, R"({"accepted":1})"));
    const QList<ActivityEvent> events{ActivityEvent::make("t", kChild, kWhen, {{"k", "v"}})};
    await(client->reportActivity(events));
    ASSERT_EQ(server.requests().size(), 1);
    expectRequest(server.requests()[0],
                  {"POST", "/api/v1/device/events/batch",
                   R"({"events":[{"childId":"11111111-2222-3333-4444-555555555555","occurredAt":"2025-03-01T08:15:00Z","payload":{"k":"v"},"type":"t"}]})",
                   bearer()});
}

TEST_P(ApiClientRequests, ReportAppUsageYieldsTheCount)
{
    server.enqueue(Answer::json(200, R"({"accepted":7})"));
    const AppUsageReport report{"2025-03-01", {AppUsageReport::Item::make("a", "A", 5, std::nullopt)}};
    EXPECT_EQ(await(client->reportAppUsage(report)), 7);
    ASSERT_EQ(server.requests().size(), 1);
    expectRequest(server.requests()[0],
                  {"POST", "/api/v1/device/app-usage",
                   R"({"date":"2025-03-01","items":[{"appLabel":"A","foregroundSeconds":5,"packageName":"a"}]})",
                   bearer()});
}

TEST_P(ApiClientRequests, ReportTamper)
{
    server.enqueue(Answer::plain(204));
    await(client->reportTamper("extension.disabled", std::nullopt));
    server.enqueue(Answer::json(200, "{}"));
    await(client->reportTamper("x", QMap<QString, QString>{{"a", "b"}}));
    ASSERT_EQ(server.requests().size(), 2);
    expectRequest(server.requests()[0],
                  {"POST", "/api/v1/device/tamper", R"({"eventType":"extension.disabled"})", bearer()});
    expectRequest(server.requests()[1],
                  {"POST", "/api/v1/device/tamper", R"({"details":{"a":"b"},"eventType":"x"})", bearer()});
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutToken, ApiClientRequests, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "token" : "noToken"; });

TEST_F(ApiClientFixture, AppUsageWithoutCountYieldsZero)
{
    server.enqueue(Answer::json(200, "{}"));
    EXPECT_EQ(await(client->reportAppUsage(AppUsageReport{"2025-03-01", {}})), 0);
    server.enqueue(Answer::json(200, R"({"accepted":null})"));
    EXPECT_EQ(await(client->reportAppUsage(AppUsageReport{"2025-03-01", {}})), 0);
}

TEST_F(ApiClientFixture, EmptyTokenGivesBareBearer)
{
    client->setAccessToken(QString(""));
    server.enqueue(Answer::json(200, kPolicyAnswer));
    await(client->fetchPolicy());
    EXPECT_EQ(server.requests().at(0).header("Authorization"), QByteArray("Bearer"))
        << "\"Bearer \" arrives with its trailing blank trimmed by header parsing";
}

TEST_F(ApiClientFixture, ClearingTheTokenDropsTheHeader)
{
    client->setAccessToken(QStringLiteral("t1"));
    client->setAccessToken(std::nullopt);
    server.enqueue(Answer::json(200, kPolicyAnswer));
    await(client->fetchPolicy());
    EXPECT_FALSE(server.requests().at(0).hasHeader("Authorization"));
}

TEST_F(ApiClientFixture, GenericRequestWithQueryAndEveryMethod)
{
    struct Case {
        ApiClient::Method method;
        const char* raw;
    };
    const Case cases[] = {{ApiClient::Method::get, "GET"},
                          {ApiClient::Method::post, "POST"},
                          {ApiClient::Method::put, "PUT"},
                          {ApiClient::Method::patch, "PATCH"},
                          {ApiClient::Method::del, "DELETE"}};
    for (const auto& c : cases) {
        server.enqueue(Answer::json(200, "{}"));
        await(client->request<EmptyResponse>(c.method, "/things", {{"a b", "x&y=z+1"}, {"n", "1"}}));
        const auto& r = server.requests().back();
        EXPECT_EQ(r.method, QByteArray(c.raw));
        EXPECT_EQ(r.target, QByteArray("/api/v1/things?a%20b=x%26y%3Dz%2B1&n=1"));
        EXPECT_FALSE(r.hasHeader("Content-Type")) << c.raw;
        EXPECT_TRUE(r.body.isEmpty()) << c.raw;
    }
    // With a body, for a method that usually has none.
    server.enqueue(Answer::json(200, "{}"));
    await(client->request<EmptyResponse>(ApiClient::Method::del, "x", EmptyBody{}));
    EXPECT_EQ(server.requests().back().body, QByteArray("{}"));
    EXPECT_EQ(server.requests().back().header("Content-Type"), QByteArray("application/json"));
    // An absent body sends none.
    server.enqueue(Answer::json(200, "{}"));
    await(client->request<EmptyResponse, EmptyBody>(ApiClient::Method::post, "x", std::nullopt));
    EXPECT_FALSE(server.requests().back().hasHeader("Content-Type"));
    // anonymous leaves a held token out.
    client->setAccessToken(QStringLiteral("held"));
    server.enqueue(Answer::json(200, "{}"));
    await(client->request<EmptyResponse>(ApiClient::Method::get, "x", {}, true));
    EXPECT_FALSE(server.requests().back().hasHeader("Authorization"));
}

TEST_F(ApiClientFixture, PathWithAndWithoutLeadingSlashAreTheSame)
{
    for (const char* path : {"device/policy", "/device/policy"}) {
        server.enqueue(Answer::json(200, kPolicyAnswer));
        await(client->request<Policy>(ApiClient::Method::get, path));
    }
    server.enqueue(Answer::json(200, kPolicyAnswer));
    await(client->request<Policy>(ApiClient::Method::get, "//device/policy"));
    ASSERT_EQ(server.requests().size(), 3);
    EXPECT_EQ(server.requests()[0].target, QByteArray("/api/v1/device/policy"));
    EXPECT_EQ(server.requests()[1].target, QByteArray("/api/v1/device/policy"));
    EXPECT_EQ(server.requests()[2].target, QByteArray("/api/v1//device/policy"))
        << "only the first \"/\" is removed";
}

TEST_F(ApiClientFixture, PathCharactersArePercentEncoded)
{
    server.enqueue(Answer::json(200, "{}"));
    await(client->request<EmptyResponse>(ApiClient::Method::get, "/a b/c?d#e%"));
    EXPECT_EQ(server.requests().at(0).target, QByteArray("/api/v1/a%20b/c%3Fd%23e%25"));
}

TEST_F(ApiClientFixture, BaseUrlWithTrailingSlash)
{
    ApiClient slash(&transport, server.url("/api/v1/"), "c", 5s, BundleInfo());
    server.enqueue(Answer::json(200, kPolicyAnswer));
    await(slash.fetchPolicy());
    EXPECT_EQ(server.requests().at(0).target, QByteArray("/api/v1/device/policy"));
}

TEST_F(ApiClientFixture, TokenIsReadWhenTheRequestIsBuilt)
{
    // Two requests in flight; the token changes between them and the answers come out of order.
    server.enqueue(Answer::neverAnswer());
    client->setAccessToken(QStringLiteral("first"));
    auto slow = client->fetchPolicy();
    ASSERT_TRUE(server.waitForRequests(1));
    client->setAccessToken(QStringLiteral("second"));
    server.enqueue(Answer::json(200, kPolicyAnswer));
    await(client->fetchPolicy());
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[0].header("Authorization"), QByteArray("Bearer first"));
    EXPECT_EQ(server.requests()[1].header("Authorization"), QByteArray("Bearer second"));
    server.closeAllConnections();
    EXPECT_TRUE(apiErrorOf(std::move(slow)).has_value());
}

TEST(ApiClientMethod, RawValues)
{
    using M = ApiClient::Method;
    EXPECT_EQ(ApiClient::rawValue(M::get), QByteArray("GET"));
    EXPECT_EQ(ApiClient::rawValue(M::post), QByteArray("POST"));
    EXPECT_EQ(ApiClient::rawValue(M::put), QByteArray("PUT"));
    EXPECT_EQ(ApiClient::rawValue(M::patch), QByteArray("PATCH"));
    EXPECT_EQ(ApiClient::rawValue(M::del), QByteArray("DELETE"));
    for (const M m : {M::get, M::post, M::put, M::patch, M::del})
        EXPECT_EQ(ApiClient::methodFromRawValue(ApiClient::rawValue(m)), m);
    EXPECT_EQ(ApiClient::methodFromRawValue("get"), std::nullopt);
    EXPECT_EQ(ApiClient::methodFromRawValue("HEAD"), std::nullopt);
    EXPECT_EQ(ApiClient::methodFromRawValue(""), std::nullopt);
    EXPECT_EQ(qHash(M::get), qHash(M::get));
    EXPECT_NE(std::hash<M>{}(M::get), std::hash<M>{}(M::post));
    QSet<M> set{M::get, M::get, M::post};
    EXPECT_EQ(set.size(), 2);
}

// --- base URL ---

TEST(ApiClientBaseUrl, Resolution)
{
    HttpTransport transport;
    const QUrl argument("http://127.0.0.1:9/x");
    const BundleInfo withValue(Json::parse(R"({"ORVANE_API_BASE_URL":"https://dev.orvane.test/api/v1"})"));
    EXPECT_EQ(ApiClient(&transport, argument, "c", 1s, withValue).baseURL(), argument);
    EXPECT_EQ(ApiClient(&transport, std::nullopt, "c", 1s, withValue).baseURL(),
              QUrl("https://dev.orvane.test/api/v1"));

    const QUrl fallback("https://api.orvane.ai/api/v1");
    for (const char* dictionary : {R"({})", R"({"ORVANE_API_BASE_URL":""})",
                                   R"({"ORVANE_API_BASE_URL":42})", R"({"ORVANE_API_BASE_URL":null})",
                                   R"({"ORVANE_API_BASE_URL":"http://[::1"})"}) {
        const ApiClient client(&transport, std::nullopt, "c", 1s, BundleInfo(Json::parse(dictionary)));
        EXPECT_EQ(client.baseURL(), fallback) << dictionary;
        EXPECT_EQ(client.baseURL().scheme(), QStringLiteral("https"));
        EXPECT_EQ(client.baseURL().path(), QStringLiteral("/api/v1"));
    }
    // The value is not trimmed: with a leading blank it is no URL, and the default stays.
    const BundleInfo spaced(Json::parse(R"({"ORVANE_API_BASE_URL":" https://a.test/api/v1"})"));
    EXPECT_EQ(ApiClient(&transport, std::nullopt, "c", 1s, spaced).baseURL(), fallback);
}

TEST(ApiClientShared, BuiltOnceWithTheClientHeaderAndTheDefaultTimeout)
{
    ApiClient& first = ApiClient::shared();
    EXPECT_EQ(&first, &ApiClient::shared());
    EXPECT_EQ(first.clientHeader(), QStringLiteral("macos-child/1.1.0"));
    EXPECT_EQ(first.timeout(), std::chrono::milliseconds(60'000));
    EXPECT_EQ(ApiClient::defaultTimeout, std::chrono::seconds(60));
    // No Info.json beside the test program: the default base.
    EXPECT_EQ(first.baseURL(), QUrl("https://api.orvane.ai/api/v1"));
    EXPECT_EQ(first.accessToken(), std::nullopt);
}

} // namespace
