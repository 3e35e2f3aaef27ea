#include "Models/ApiError.h"
#include "Models/ApiErrorBody.h"

#include "TestSupport/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

ApiErrorBody bodyWithTitle(std::optional<QString> title)
{
    ApiErrorBody body;
    body.title = std::move(title);
    body.detail = QStringLiteral("detail never shown");
    return body;
}

struct MessageCase {
    const char* name;
    ApiError error;
    QString expected;
};

TEST(ApiError, UserFacingMessageTable)
{
    const auto http = [](int status, std::optional<ApiErrorBody> body = std::nullopt) {
        return ApiError::http(status, std::move(body), std::nullopt);
    };
    const QString title = QStringLiteral("Code already used");
    const MessageCase cases[] = {
        {"network", ApiError::network("timed out"),
         "Orvane couldn't reach the internet. Please check your connection."},
        {"400 title", http(400, bodyWithTitle(title)), title},
        {"400 no body", http(400), QString::fromUtf8("That didn't look right \u2014 please try again.")},
        {"400 body without title", http(400, bodyWithTitle(std::nullopt)),
         QString::fromUtf8("That didn't look right \u2014 please try again.")},
        {"401 title ignored", http(401, bodyWithTitle(title)),
         "Your session expired. Please sign in again."},
        {"403", http(403, bodyWithTitle(title)), "You don't have access to that."},
        {"404", http(404, bodyWithTitle(title)), "We couldn't find that."},
        {"409 title", http(409, bodyWithTitle(title)), title},
        {"409 no title", http(409), "That action conflicts with the current state."},
        {"429", http(429, bodyWithTitle(title)), "Too many attempts. Try again in a minute."},
        {"500", http(500), "Orvane is having a moment. Please try again shortly."},
        {"503 title ignored", http(503, bodyWithTitle(title)),
         "Orvane is having a moment. Please try again shortly."},
        {"599", http(599), "Orvane is having a moment. Please try again shortly."},
        {"600 other", http(600), "Something didn't work. Please try again."},
        {"302 other", http(302), "Something didn't work. Please try again."},
        {"101 other with title", http(101, bodyWithTitle(title)), title},
        {"418 empty title", http(418, bodyWithTitle(QString(""))), QString("")},
        {"decoding", ApiError::decoding("Policy", "childId: required key is missing"),
         "Orvane received an unexpected response."},
        {"unexpected", ApiError::unexpected("Pairing code must be 6 digits"),
         "Something went wrong."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.error.userFacingMessage(), c.expected) << c.name;
}

TEST(ApiError, EmDashAndPlainApostrophes)
{
    const QString text = ApiError::http(400, std::nullopt, std::nullopt).userFacingMessage();
    EXPECT_TRUE(text.contains(QStringLiteral(u" \u2014 ")));
    EXPECT_FALSE(text.contains(QChar(0x2019)));
}

TEST(ApiError, StatusAndTraceId)
{
    const ApiError network = ApiError::network("x");
    EXPECT_EQ(network.status(), 0);
    EXPECT_EQ(network.traceId(), std::nullopt);
    EXPECT_EQ(ApiError::decoding("T", "u").status(), 0);
    EXPECT_EQ(ApiError::unexpected("u").traceId(), std::nullopt);

    ApiErrorBody body;
    body.traceId = QStringLiteral("trace-429");
    const ApiError limited = ApiError::http(429, body, body.traceId);
    EXPECT_EQ(limited.status(), 429);
    EXPECT_EQ(limited.traceId(), QStringLiteral("trace-429"));
    EXPECT_TRUE(ApiError::http(401, std::nullopt, std::nullopt).isUnauthorized());
}

TEST(ApiError, IsACopyableValue)
{
    const ApiError original = ApiError::http(409, bodyWithTitle(QStringLiteral("t")), QStringLiteral("id"));
    const ApiError copy = original; // NOLINT
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy.as<ApiError::Http>()->body->title, QStringLiteral("t"));
    EXPECT_STREQ(copy.what(), original.what());
}

TEST(ApiErrorBody, DecodesEveryMemberAndIgnoresUnknownOnes)
{
    const auto body = Json::decode<ApiErrorBody>(
        R"({"status":400,"type":"about:blank","title":"T","detail":"D","traceId":"tr","error":"E","message":"M","extra":[1]})");
    EXPECT_EQ(body.status, 400);
    EXPECT_EQ(body.type, QStringLiteral("about:blank"));
    EXPECT_EQ(body.title, QStringLiteral("T"));
    EXPECT_EQ(body.detail, QStringLiteral("D"));
    EXPECT_EQ(body.traceId, QStringLiteral("tr"));
    EXPECT_EQ(body.error, QStringLiteral("E"));
    EXPECT_EQ(body.message, QStringLiteral("M"));
}

TEST(ApiErrorBody, EmptyAndNullMembersAreAbsent)
{
    EXPECT_EQ(Json::decode<ApiErrorBody>("{}"), ApiErrorBody{});
    EXPECT_EQ(Json::decode<ApiErrorBody>(R"({"title":null,"status":null})"), ApiErrorBody{});
}

TEST(ApiErrorBody, StatusAsStringDoesNotDecode)
{
    EXPECT_THROW(Json::decode<ApiErrorBody>(R"({"status":"400","title":"T"})"), Json::DecodingError);
    EXPECT_THROW(Json::decode<ApiErrorBody>(R"([])"), Json::DecodingError);
}

TEST(ApiErrorBody, WritesOnlyPresentMembers)
{
    ApiErrorBody body;
    body.status = 429;
    body.traceId = QStringLiteral("abc");
    EXPECT_EQ(Json::encode(body), QByteArray(R"({"status":429,"traceId":"abc"})"));
    EXPECT_EQ(Json::encode(ApiErrorBody{}), QByteArray("{}"));
}

} // namespace
