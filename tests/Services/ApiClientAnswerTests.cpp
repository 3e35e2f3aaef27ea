// The answer rules, in their order, against a real server on 127.0.0.1.
#include "TestSupport/ApiClientFixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

using namespace std::chrono_literals;
using Answer = ScriptedHttpServer::Answer;

namespace {

const char* kPolicyAnswer = R"({"childId":"11111111-2222-3333-4444-555555555555"})";

HeartbeatRequest beat()
{
    return HeartbeatRequest::make("1.1.0", 50, "wifi");
}

/** The carried values of the expected case (a copy: the error is often a temporary). */
template <typename C>
C expectCase(const std::optional<ApiError>& error)
{
    if (!error)
        return C{};
    const C* c = error->as<C>();
    EXPECT_NE(c, nullptr) << "got " << error->what();
    return c ? *c : C{};
}

// --- 2xx and 204 ---

TEST_F(ApiClientFixture, Success2xxDecodesTheRecord)
{
    server.enqueue(Answer::json(201, R"({"dohHostname":"h","unknown":1})"));
    const HeartbeatResponse r = await(client->heartbeat(beat()));
    EXPECT_EQ(r.dohHostname, QStringLiteral("h"));
}

TEST_F(ApiClientFixture, Status204WithEmptyResponseSucceedsWithoutReadingTheBody)
{
    server.enqueue(Answer::plain(204));
    await(client->reportTamper("t", std::nullopt));
    server.enqueue(Answer::plain(204));
    await(client->request<EmptyResponse>(ApiClient::Method::get, "x"));
}

TEST_F(ApiClientFixture, Status204WhereARecordIsExpectedIsDecoding)
{
    server.enqueue(Answer::plain(204));
    const auto e = expectCase<ApiError::Decoding>(apiErrorOf(client->heartbeat(beat())));
    EXPECT_EQ(e.type, QStringLiteral("HeartbeatResponse"));
    EXPECT_EQ(e.underlying, QStringLiteral("204 but response type expects a body"));
    server.enqueue(Answer::plain(204));
    EXPECT_EQ(expectCase<ApiError::Decoding>(apiErrorOf(client->fetchPolicy())).type,
              QStringLiteral("Policy"));
}

TEST_F(ApiClientFixture, EmptyBodyOn200IsDecodingEvenForEmptyResponse)
{
    server.enqueue(Answer::plain(200));
    const auto e = expectCase<ApiError::Decoding>(apiErrorOf(client->reportTamper("t", std::nullopt)));
    EXPECT_EQ(e.type, QStringLiteral("EmptyResponse"));
    EXPECT_FALSE(e.underlying.isEmpty());
    server.enqueue(Answer::plain(200));
    EXPECT_EQ(expectCase<ApiError::Decoding>(apiErrorOf(client->heartbeat(beat()))).type,
              QStringLiteral("HeartbeatResponse"));
}

TEST_F(ApiClientFixture, AnyJsonIsAnEmptyResponse)
{
    for (const char* body : {"{}", "[1,2]", "null", "\"x\"", "3"}) {
        server.enqueue(Answer::json(200, body));
        await(client->reportTamper("t", std::nullopt));
    }
}

TEST_F(ApiClientFixture, UndecodableRecordIsDecodingWithThePath)
{
    server.enqueue(Answer::json(200,
        R"({"childId":"11111111-2222-3333-4444-555555555555","customRules":[{"domain":"a","action":"allow"},{"domain":"b","action":"block"},{"domain":"c","action":"maybe"}]})"));
    const auto e = expectCase<ApiError::Decoding>(apiErrorOf(client->fetchPolicy()));
    EXPECT_EQ(e.type, QStringLiteral("Policy"));
    EXPECT_EQ(e.underlying, QStringLiteral("customRules[2].action: unknown rule action"));
    server.enqueue(Answer::json(200, R"({"unpairPending":"yes"})"));
    EXPECT_EQ(expectCase<ApiError::Decoding>(apiErrorOf(client->heartbeat(beat()))).underlying,
              QStringLiteral("unpairPending: expected a boolean, found a string"));
    server.enqueue(Answer::json(200, "not json"));
    EXPECT_TRUE(expectCase<ApiError::Decoding>(apiErrorOf(client->heartbeat(beat())))
                    .underlying.startsWith("not valid JSON"));
}

TEST_F(ApiClientFixture, DateRuleThroughTheClient)
{
    struct Case {
        const char* removeAt;
        bool decodes;
    };
    const Case cases[] = {
        {R"("2025-03-01T08:15:00Z")", true},
        {R"("2025-03-01T08:15:00.123Z")", true},
        {R"("2025-03-01T09:15:00+01:00")", true},
        {R"("2025-03-01T08:15:00.123456-05:30")", true},
        {R"("2025-03-01 08:15:00Z")", false},
        {R"("2025-03-01")", false},
        {R"(1740816900)", false},
    };
    for (const auto& c : cases) {
        server.enqueue(Answer::json(200, QByteArray(R"({"removeAt":)") + c.removeAt + "}"));
        if (c.decodes) {
            EXPECT_TRUE(await(client->heartbeat(beat())).removeAt.has_value()) << c.removeAt;
        } else {
            const auto error = apiErrorOf(client->heartbeat(beat()));
            ASSERT_TRUE(error.has_value());
            EXPECT_NE(error->as<ApiError::Decoding>(), nullptr) << c.removeAt;
        }
    }
    server.enqueue(Answer::json(200, R"({"removeAt":"2025-03-01T08:15:00.123Z"})"));
    EXPECT_EQ(await(client->heartbeat(beat())).removeAt,
              QDateTime(QDate(2025, 3, 1), QTime(8, 15, 0, 123), Qt::UTC));
}

TEST_F(ApiClientFixture, NullOptionalsAreAbsent)
{
    server.enqueue(Answer::json(200, R"({"dohHostname":null,"removeAt":null,"unpairPending":null})"));
    EXPECT_EQ(await(client->heartbeat(beat())), HeartbeatResponse{});
}

// --- statuses outside 2xx ---

TEST_F(ApiClientFixture, ErrorStatusWithProblemBody)
{
    server.enqueue(Answer::json(400, R"({"status":400,"title":"Code expired","detail":"d","traceId":"t-1"})"));
    const auto error = apiErrorOf(client->enroll(EnrollRequest::make("1", "f", "m", "o", "a", "MACOS")));
    const auto e = expectCase<ApiError::Http>(error);
    EXPECT_EQ(e.status, 400);
    ASSERT_TRUE(e.body.has_value());
    EXPECT_EQ(e.body->title, QStringLiteral("Code expired"));
    EXPECT_EQ(e.traceId, QStringLiteral("t-1"));
    EXPECT_EQ(error->userFacingMessage(), QStringLiteral("Code expired"));
}

TEST_F(ApiClientFixture, ErrorStatusWithoutBody)
{
    server.enqueue(Answer::plain(404));
    const auto error = apiErrorOf(client->fetchPolicy());
    const auto e = expectCase<ApiError::Http>(error);
    EXPECT_EQ(e.status, 404);
    EXPECT_EQ(e.body, std::nullopt);
    EXPECT_EQ(e.traceId, std::nullopt);
    EXPECT_EQ(error->userFacingMessage(), QStringLiteral("We couldn't find that."));
}

TEST_F(ApiClientFixture, ProblemBodyWithStringStatusIsNoBody)
{
    server.enqueue(Answer::json(409, R"({"status":"409","title":"Conflict title","traceId":"t"})"));
    const auto error = apiErrorOf(client->heartbeat(beat()));
    const auto e = expectCase<ApiError::Http>(error);
    EXPECT_EQ(e.status, 409);
    EXPECT_EQ(e.body, std::nullopt);
    EXPECT_EQ(e.traceId, std::nullopt);
    EXPECT_EQ(error->userFacingMessage(), QStringLiteral("That action conflicts with the current state."));
}

TEST_F(ApiClientFixture, Status500WithNonJsonBody)
{
    server.enqueue(Answer::plain(500, "<html>oops</html>").header("Content-Type", "text/html"));
    const auto e = expectCase<ApiError::Http>(apiErrorOf(client->heartbeat(beat())));
    EXPECT_EQ(e.status, 500);
    EXPECT_EQ(e.body, std::nullopt);
    EXPECT_EQ(e.traceId, std::nullopt);
}

TEST_F(ApiClientFixture, Status429WithTraceId)
{
    server.enqueue(Answer::json(429, R"({"title":"Slow down","traceId":"trace-429"})"));
    const auto error = apiErrorOf(client->heartbeat(beat()));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->status(), 429);
    EXPECT_EQ(error->traceId(), QStringLiteral("trace-429"));
    EXPECT_EQ(error->userFacingMessage(), QStringLiteral("Too many attempts. Try again in a minute."));
}

TEST_F(ApiClientFixture, Status401IsHttpAndTheTokenStays)
{
    client->setAccessToken(QStringLiteral("old"));
    server.enqueue(Answer::json(401, R"({"title":"Unauthorized"})").header("WWW-Authenticate", "Bearer"));
    const auto error = apiErrorOf(client->heartbeat(beat()));
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->isUnauthorized());
    EXPECT_EQ(client->accessToken(), QStringLiteral("old"));
}

TEST_F(ApiClientFixture, Status302IsHttpNotFollowed)
{
    ScriptedHttpServer other;
    ASSERT_TRUE(other.listen());
    client->setAccessToken(QStringLiteral("secret-token"));
    server.enqueue(Answer::json(302, "").header("Location", other.url("/api/v1/device/policy").toEncoded()));
    const auto e = expectCase<ApiError::Http>(apiErrorOf(client->fetchPolicy()));
    EXPECT_EQ(e.status, 302);
    EXPECT_EQ(e.body, std::nullopt);
    // Give a stray follow-up every chance to arrive.
    processEventsUntil([] { return false; }, 200);
    EXPECT_EQ(other.connectionCount(), 0);
    EXPECT_TRUE(other.requests().isEmpty());
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(ApiClientFixture, Status307WithBodyIsHttp)
{
    server.enqueue(Answer::json(307, R"({"title":"Moved"})").header("Location", "/elsewhere"));
    const auto error = apiErrorOf(client->heartbeat(beat()));
    EXPECT_EQ(expectCase<ApiError::Http>(error).status, 307);
    EXPECT_EQ(error->userFacingMessage(), QStringLiteral("Moved"));
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(ApiClientFixture, Status101AsFarAsTheTransportHandsItOver)
{
    // The transport does not upgrade: a 101 answer reaches the client as a status outside 2xx,
    // so it is http 101 and never a success.
    server.enqueue(Answer::plain(101).header("Upgrade", "websocket").closing());
    const auto error = apiErrorOf(client->heartbeat(beat()));
    EXPECT_EQ(expectCase<ApiError::Http>(error).status, 101);
}

// --- transport failures ---

TEST_F(ApiClientFixture, BodyCutShortIsNetwork)
{
    server.enqueue(Answer::json(200, R"({"dohHostname":)").cutShort(200));
    const auto e = expectCase<ApiError::Network>(apiErrorOf(client->heartbeat(beat())));
    EXPECT_FALSE(e.underlying.isEmpty());
}

TEST_F(ApiClientFixture, ConnectionClosedBeforeAnyAnswerIsNetwork)
{
    server.setFallback([](const auto&) { return Answer::closeAtOnce(); });
    const auto e = expectCase<ApiError::Network>(apiErrorOf(client->fetchPolicy()));
    EXPECT_FALSE(e.underlying.isEmpty());
    // A fresh connection: nothing goes out again (the resend table is in the transport tests).
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(ApiClientFixture, CookiesAreNeitherKeptNorSent)
{
    server.enqueue(Answer::json(200, kPolicyAnswer).header("Set-Cookie", "session=abc; Path=/"));
    server.enqueue(Answer::json(200, kPolicyAnswer));
    await(client->fetchPolicy());
    await(client->fetchPolicy());
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_FALSE(server.requests()[1].hasHeader("Cookie"));
}

TEST_F(ApiClientFixture, ConnectionRefusedIsNetwork)
{
    ApiClient refused(&transport, QUrl("http://127.0.0.1:1/api/v1"), "c", 2s, BundleInfo());
    expectCase<ApiError::Network>(apiErrorOf(refused.fetchPolicy()));
}

TEST_F(ApiClientFixture, ServerThatNeverAnswersTimesOutAsNetwork)
{
    auto quick = makeClient(300ms);
    EXPECT_EQ(quick->timeout(), 300ms);
    server.enqueue(Answer::neverAnswer());
    QElapsedTimer timer;
    timer.start();
    const auto e = expectCase<ApiError::Network>(apiErrorOf(quick->fetchPolicy()));
    EXPECT_FALSE(e.underlying.isEmpty());
    EXPECT_GE(timer.elapsed(), 250);
    EXPECT_LT(timer.elapsed(), 5000);
    // The default, which the test does not wait for.
    ApiClient standard(&transport, server.url(), "c");
    EXPECT_EQ(standard.timeout(), std::chrono::seconds(60));
}

TEST_F(ApiClientFixture, GarbageInsteadOfHttpIsNetwork)
{
    server.setFallback([](const auto&) { return Answer::raw("\x01\x02 this is not HTTP at all\r\n\r\n"); });
    const auto e = expectCase<ApiError::Network>(apiErrorOf(client->fetchPolicy()));
    EXPECT_FALSE(e.underlying.isEmpty());
}

TEST_F(ApiClientFixture, OtherSchemeGivesNonHttpResponse)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath("api/v1/device"));
    QFile file(dir.filePath("api/v1/device/policy"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(kPolicyAnswer);
    file.close();
    ApiClient local(&transport, QUrl::fromLocalFile(dir.filePath("api/v1")), "c", 2s, BundleInfo());
    const auto e = expectCase<ApiError::Unexpected>(apiErrorOf(local.fetchPolicy()));
    EXPECT_EQ(e.text, QStringLiteral("non-HTTP response"));
}

TEST_F(ApiClientFixture, AFailureChangesNothingInTheClient)
{
    client->setAccessToken(QStringLiteral("kept"));
    server.enqueue(Answer::closeAtOnce());
    EXPECT_TRUE(apiErrorOf(client->fetchPolicy()).has_value());
    EXPECT_EQ(client->accessToken(), QStringLiteral("kept"));
    server.enqueue(Answer::json(200, kPolicyAnswer));
    await(client->fetchPolicy());
    EXPECT_EQ(server.requests().back().header("Authorization"), QByteArray("Bearer kept"));
}

TEST_F(ApiClientFixture, KeepAliveAndClosingAnswersBothWork)
{
    for (int i = 0; i < 3; ++i) {
        server.enqueue(Answer::json(200, kPolicyAnswer));
        server.enqueue(Answer::json(200, kPolicyAnswer).closing());
    }
    for (int i = 0; i < 6; ++i)
        await(client->fetchPolicy());
    EXPECT_EQ(server.requests().size(), 6);
    EXPECT_LE(server.connectionCount(), 4);
}

// --- the renewed token ---

class Receiver : public RenewedTokenReceiver {
public:
    QStringList tokens;
    QThread* calledOn = nullptr;
    void applyRenewedToken(const QString& token) override
    {
        tokens.append(token);
        calledOn = QThread::currentThread();
    }
};

TEST_F(ApiClientFixture, RenewedTokenIsUsedAtOnceAndHandedToTheStore)
{
    Receiver store;
    client->attach(&store);
    client->setAccessToken(QStringLiteral("old"));
    server.enqueue(Answer::json(200, R"({"accepted":1,"deviceToken":"renewed"})"));
    await(client->reportActivity({}));
    EXPECT_EQ(client->accessToken(), QStringLiteral("renewed"));
    EXPECT_EQ(store.tokens, QStringList{"renewed"});
    EXPECT_EQ(store.calledOn, QCoreApplication::instance()->thread());
    server.enqueue(Answer::json(200, "{}"));
    await(client->heartbeat(beat()));
    EXPECT_EQ(server.requests().back().header("Authorization"), QByteArray("Bearer renewed"));
}

TEST_F(ApiClientFixture, EmptyOrAbsentRenewedTokenChangesNothing)
{
    Receiver store;
    client->attach(&store);
    client->setAccessToken(QStringLiteral("old"));
    for (const char* body : {R"({"deviceToken":""})", "{}", R"({"deviceToken":null})"}) {
        server.enqueue(Answer::json(200, body));
        await(client->reportActivity({}));
        EXPECT_EQ(client->accessToken(), QStringLiteral("old")) << body;
    }
    EXPECT_TRUE(store.tokens.isEmpty());
}

TEST_F(ApiClientFixture, RenewedTokenIsUsedEvenWhenTheStoreIsGone)
{
    auto store = std::make_unique<Receiver>();
    client->attach(store.get());
    store.reset();
    server.enqueue(Answer::json(200, R"({"deviceToken":"renewed"})"));
    await(client->reportActivity({}));
    server.enqueue(Answer::json(200, "{}"));
    await(client->heartbeat(beat()));
    EXPECT_EQ(server.requests().back().header("Authorization"), QByteArray("Bearer renewed"));
}

TEST_F(ApiClientFixture, OnlyTheBatchLooksForARenewedToken)
{
    client->setAccessToken(QStringLiteral("old"));
    server.enqueue(Answer::json(200, R"({"deviceToken":"renewed"})"));
    await(client->heartbeat(beat()));
    server.enqueue(Answer::json(200, R"({"accepted":2,"deviceToken":"renewed"})"));
    await(client->reportAppUsage(AppUsageReport{"2025-03-01", {}}));
    EXPECT_EQ(client->accessToken(), QStringLiteral("old"));
}

TEST_F(ApiClientFixture, AFailedBatchKeepsTheToken)
{
    Receiver store;
    client->attach(&store);
    client->setAccessToken(QStringLiteral("old"));
    server.enqueue(Answer::json(500, R"({"deviceToken":"renewed"})"));
    EXPECT_TRUE(apiErrorOf(client->reportActivity({})).has_value());
    EXPECT_EQ(client->accessToken(), QStringLiteral("old"));
    EXPECT_TRUE(store.tokens.isEmpty());
}

} // namespace
