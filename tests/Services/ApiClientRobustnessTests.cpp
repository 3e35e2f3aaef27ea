// Sound behaviour beyond the Part: the answer-size limit and no token in any error text.
#include "TestSupport/ApiClientFixture.h"

#include <QStringList>

using namespace std::chrono_literals;
using Answer = ScriptedHttpServer::Answer;

namespace {

const char* kPolicyAnswer = R"({"childId":"11111111-2222-3333-4444-555555555555"})";
constexpr qint64 kOverLimit = ApiClient::maxAnswerBytes + 1024 * 1024;

HeartbeatRequest beat()
{
    return HeartbeatRequest::make("1.1.0", std::nullopt, "wifi");
}

// --- 16 MiB ---

TEST_F(ApiClientFixture, DeclaredAnswerOver16MiBIsNotRead)
{
    server.enqueue(Answer::streamed(200, kOverLimit, true));
    const auto error = apiErrorOf(client->fetchPolicy());
    ASSERT_TRUE(error.has_value());
    const auto* decoding = error->as<ApiError::Decoding>();
    ASSERT_NE(decoding, nullptr) << error->what();
    EXPECT_EQ(decoding->type, QStringLiteral("Policy"));
    EXPECT_EQ(decoding->underlying, QStringLiteral("answer body larger than 16 MiB, not read"));
    EXPECT_EQ(error->userFacingMessage(), QStringLiteral("Orvane received an unexpected response."));
    // The client stays usable.
    server.enqueue(Answer::json(200, kPolicyAnswer));
    EXPECT_NO_THROW(await(client->fetchPolicy()));
}

TEST_F(ApiClientFixture, UndeclaredAnswerOver16MiBIsCutOff)
{
    server.enqueue(Answer::streamed(200, kOverLimit, false));
    const auto error = apiErrorOf(client->reportTamper("t", std::nullopt));
    ASSERT_TRUE(error.has_value());
    ASSERT_NE(error->as<ApiError::Decoding>(), nullptr) << error->what();
    server.enqueue(Answer::json(200, "{}"));
    EXPECT_NO_THROW(await(client->reportTamper("t", std::nullopt)));
}

TEST_F(ApiClientFixture, ErrorStatusWithAHugeBodyKeepsItsStatus)
{
    // A 401 must still be seen as a 401 (the scheduler unpairs on it), whatever its body.
    server.enqueue(Answer::streamed(401, kOverLimit, true));
    const auto error = apiErrorOf(client->heartbeat(beat()));
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->isUnauthorized()) << error->what();
    EXPECT_EQ(error->as<ApiError::Http>()->body, std::nullopt);
}

TEST_F(ApiClientFixture, LargeButAllowedAnswerIsRead)
{
    QByteArray body = R"({"childId":"11111111-2222-3333-4444-555555555555","customRules":[)";
    for (int i = 0; i < 50000; ++i)
        body += (i ? "," : "") + QByteArray(R"({"domain":"d)") + QByteArray::number(i) + R"(.test","action":"block"})";
    body += "]}";
    ASSERT_LT(body.size(), ApiClient::maxAnswerBytes);
    server.enqueue(Answer::json(200, body));
    EXPECT_EQ(await(client->fetchPolicy()).customRules.size(), 50000);
}

// --- the token never in an error text ---

const QString kToken = QStringLiteral("tok-SECRET-9f8e7d6c5b4a");

/** Every text an error carries or describes itself with. */
QStringList textsOf(const ApiError& e)
{
    QStringList texts{QString::fromUtf8(e.what()), e.userFacingMessage()};
    if (e.traceId())
        texts << *e.traceId();
    if (const auto* n = e.as<ApiError::Network>())
        texts << n->underlying;
    if (const auto* d = e.as<ApiError::Decoding>())
        texts << d->type << d->underlying;
    if (const auto* u = e.as<ApiError::Unexpected>())
        texts << u->text;
    if (const auto* h = e.as<ApiError::Http>(); h && h->body) {
        for (const auto& t : {h->body->type, h->body->title, h->body->detail, h->body->traceId,
                              h->body->error, h->body->message})
            if (t)
                texts << *t;
    }
    return texts;
}

void expectNoToken(const std::optional<ApiError>& error, const char* what)
{
    ASSERT_TRUE(error.has_value()) << what;
    for (const QString& text : textsOf(*error))
        EXPECT_FALSE(text.contains(kToken)) << what << ": " << text.toStdString();
}

TEST_F(ApiClientFixture, NoErrorTextCarriesTheToken)
{
    auto quick = makeClient(300ms);
    quick->setAccessToken(kToken);
    const QByteArray token = kToken.toUtf8();

    server.enqueue(Answer::closeAtOnce());
    expectNoToken(apiErrorOf(quick->fetchPolicy()), "closed");
    server.enqueue(Answer::neverAnswer());
    expectNoToken(apiErrorOf(quick->fetchPolicy()), "timeout");
    server.enqueue(Answer::raw("garbage " + token + "\r\n\r\n"));
    expectNoToken(apiErrorOf(quick->fetchPolicy()), "garbage");
    server.enqueue(Answer::json(200, R"({"dohHostname":")" + token).cutShort(500));
    expectNoToken(apiErrorOf(quick->heartbeat(beat())), "cut short");
    // A service that echoes the token back in its texts.
    server.enqueue(Answer::json(400, R"({"title":"bad )" + token + R"(","detail":")" + token +
                                         R"(","traceId":")" + token + R"("})"));
    expectNoToken(apiErrorOf(quick->heartbeat(beat())), "echoed in a problem body");
    server.enqueue(Answer::json(200, R"({"dohHostname":")" + token + R"(","unpairPending":"x"})"));
    expectNoToken(apiErrorOf(quick->heartbeat(beat())), "decoding");
    server.enqueue(Answer::json(200, R"({"dohHostname":")" + token + R"(",)"));
    expectNoToken(apiErrorOf(quick->heartbeat(beat())), "truncated JSON");
    // The token itself is still sent, and kept.
    EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer " + token);
    EXPECT_EQ(quick->accessToken(), kToken);
}

TEST_F(ApiClientFixture, NoErrorTextCarriesANewTokenFromAnEnrolment)
{
    // The enrolment answer holds the new token; a broken one must not quote it.
    const QByteArray token = kToken.toUtf8();
    const auto enroll = [&] { return client->enroll(EnrollRequest::make("1", "f", "m", "o", "a", "MACOS")); };
    server.enqueue(Answer::json(200, R"({"deviceToken":")" + token + R"(","deviceId":"nope"})"));
    expectNoToken(apiErrorOf(enroll()), "bad deviceId");
    server.enqueue(Answer::json(200, R"({"deviceToken":")" + token));
    expectNoToken(apiErrorOf(enroll()), "truncated");
    server.enqueue(Answer::json(200, R"({"deviceToken":")" + token + "\x01\"}"));
    expectNoToken(apiErrorOf(enroll()), "control character");
}

TEST_F(ApiClientFixture, ATokenThatWouldBreakItsHeaderLineIsNeverSent)
{
    // A token from the keychain or a renewal answer is not checked, but a line break in it
    // would end the header early and let the rest pass for headers or a body of its own.
    const struct {
        const char* name;
        QString token;
    } cases[] = {
        {"line feed at the end", QStringLiteral("tok-abc\n")},
        {"injected header", QStringLiteral("tok-abc\r\nX-Injected: 1")},
        {"carriage return", QStringLiteral("tok\rabc")},
        {"NUL", QStringLiteral("tok") + QChar(0) + QStringLiteral("abc")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        client->setAccessToken(c.token);
        const auto before = server.requests().size();
        const auto error = apiErrorOf(client->fetchPolicy());
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(error->as<ApiError::Network>(), nullptr) << error->what();
        EXPECT_FALSE(QString::fromUtf8(error->what()).contains(QStringLiteral("abc")));
        EXPECT_EQ(server.requests().size(), before) << "nothing goes out";
    }
    // A sound token goes out again.
    client->setAccessToken(kToken);
    server.enqueue(Answer::json(200, kPolicyAnswer));
    EXPECT_NO_THROW(await(client->fetchPolicy()));
    EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer " + kToken.toUtf8());
}

TEST_F(ApiClientFixture, RedirectSendsTheTokenNowhereElse)
{
    ScriptedHttpServer elsewhere;
    ASSERT_TRUE(elsewhere.listen());
    client->setAccessToken(kToken);
    for (const int status : {301, 302, 303, 307, 308}) {
        server.enqueue(Answer::plain(status).header("Location", elsewhere.url("/steal").toEncoded()));
        EXPECT_EQ(apiErrorOf(client->fetchPolicy())->status(), status);
    }
    processEventsUntil([] { return false; }, 200);
    EXPECT_EQ(elsewhere.connectionCount(), 0);
}

} // namespace
