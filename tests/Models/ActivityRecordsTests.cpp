#include "Models/AcceptedResponse.h"
#include "Models/ActivityBatchRequest.h"
#include "Models/ActivityBatchResponse.h"
#include "Models/ActivityEvent.h"
#include "Models/AppUsageReport.h"
#include "Models/EmptyBody.h"
#include "Models/EmptyResponse.h"
#include "Models/TamperReport.h"
#include "Support/UnicodeText.h"

#include "TestSupport/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

const QUuid kChild("{11111111-2222-3333-4444-555555555555}");
const QDateTime kWhen(QDate(2025, 3, 1), QTime(8, 15, 0, 900), Qt::UTC);

std::string errorOf(const QByteArray& json, auto decodeFn)
{
    try {
        decodeFn(json);
    } catch (const Json::DecodingError& e) {
        return e.what();
    }
    return "(decoded)";
}

TEST(ActivityEvent, EmptyPayloadIsWrittenAsAnEmptyObject)
{
    const auto event = ActivityEvent::make("app.launch", kChild, kWhen);
    EXPECT_EQ(Json::encode(event),
              QByteArray(R"({"childId":"11111111-2222-3333-4444-555555555555","occurredAt":"2025-03-01T08:15:00Z","payload":{},"type":"app.launch"})"));
}

TEST(ActivityEvent, MakeTakesTypeChildIdInstantPayload)
{
    const auto event = ActivityEvent::make("t", kChild, kWhen, {{"k", "v"}});
    EXPECT_EQ(event.type, QStringLiteral("t"));
    EXPECT_EQ(event.childId, kChild);
    EXPECT_EQ(event.occurredAt, kWhen);
    EXPECT_EQ(event.payload.value("k"), QStringLiteral("v"));
}

TEST(ActivityEvent, DecodingTable)
{
    const auto decode = [](const QByteArray& j) { (void)Json::decode<ActivityEvent>(j); };
    EXPECT_EQ(errorOf(R"({"type":"t","occurredAt":"2025-03-01T08:15:00Z","childId":"11111111-2222-3333-4444-555555555555","payload":{"a":"b"}})", decode),
              "(decoded)");
    EXPECT_EQ(errorOf(R"({"type":"t","occurredAt":"2025-03-01T08:15:00Z","childId":"11111111-2222-3333-4444-555555555555"})", decode),
              "payload: required key is missing");
    EXPECT_EQ(errorOf(R"({"type":"t","occurredAt":"2025-03-01T08:15:00Z","childId":"11111111-2222-3333-4444-555555555555","payload":{"a":"b","n":1}})", decode),
              "payload.n: expected a string, found an integer");
    EXPECT_EQ(errorOf(R"({"type":"t","occurredAt":"2025-03-01T08:15:00Z","childId":"11111111-2222-3333-4444-555555555555","payload":{"a":null}})", decode),
              "payload.a: expected a string, found null");
    EXPECT_EQ(errorOf(R"({"type":"t","occurredAt":1,"childId":"11111111-2222-3333-4444-555555555555","payload":{}})", decode),
              "occurredAt: expected a string, found an integer");
}

TEST(ActivityBatchRequest, EmptyListIsAnEmptyArray)
{
    EXPECT_EQ(Json::encode(ActivityBatchRequest{}), QByteArray(R"({"events":[]})"));
}

TEST(ActivityBatchRequest, WritesEventsInOrderAndReadsThemBack)
{
    const ActivityBatchRequest batch{{ActivityEvent::make("b", kChild, kWhen, {{"x", "1"}}),
                                      ActivityEvent::make("a", kChild, kWhen.addSecs(60))}};
    const QByteArray json = Json::encode(batch);
    EXPECT_LT(json.indexOf(R"("type":"b")"), json.indexOf(R"("type":"a")"));
    const auto back = Json::decode<ActivityBatchRequest>(json);
    ASSERT_EQ(back.events.size(), 2);
    EXPECT_EQ(back.events[0].type, QStringLiteral("b"));
    // The fraction is not written, so what comes back has whole seconds.
    EXPECT_EQ(back.events[0].occurredAt, kWhen.addMSecs(-900));
    EXPECT_EQ(errorOf(R"({"events":[{"type":"t"}]})", [](const QByteArray& j) { (void)Json::decode<ActivityBatchRequest>(j); }),
              "events[0].occurredAt: required key is missing");
    EXPECT_EQ(errorOf("{}", [](const QByteArray& j) { (void)Json::decode<ActivityBatchRequest>(j); }),
              "events: required key is missing");
}

TEST(ActivityBatchResponse, EmptyObjectHasEveryFieldAbsent)
{
    EXPECT_EQ(Json::decode<ActivityBatchResponse>("{}"), ActivityBatchResponse{});
    const auto r = Json::decode<ActivityBatchResponse>(
        R"({"accepted":3,"rejected":0,"total":3,"dohHostname":"h","deviceToken":"new"})");
    EXPECT_EQ(r, (ActivityBatchResponse{3, 0, 3, "h", "new"}));
    EXPECT_EQ(errorOf(R"({"deviceToken":1})", [](const QByteArray& j) { (void)Json::decode<ActivityBatchResponse>(j); }),
              "deviceToken: expected a string, found an integer");
}

TEST(AppUsageReport, ItemBoundsAndAbsentKeys)
{
    const auto longLabel = AppUsageReport::Item::make("com.app", QString(300, u'L'), 10, std::nullopt);
    EXPECT_EQ(longLabel.appLabel, QString(200, u'L'));
    QString emoji;
    for (int i = 0; i < 201; ++i)
        emoji += QString::fromUtf8("\U0001F469\u200D\U0001F4BB"); // one character, 5 UTF-16 units
    const auto cut = AppUsageReport::Item::make("com.app", emoji, 1, std::nullopt);
    EXPECT_EQ(UnicodeText::characterCount(*cut.appLabel), 200);
    EXPECT_EQ(AppUsageReport::Item::make("p", QString(200, u'k'), 1, std::nullopt).appLabel,
              QString(200, u'k'));

    const auto bare = AppUsageReport::Item::make("com.app", std::nullopt, 42, std::nullopt);
    EXPECT_EQ(Json::encode(bare), QByteArray(R"({"foregroundSeconds":42,"packageName":"com.app"})"));
    const auto full = AppUsageReport::Item::make("com.app", QStringLiteral("App"), 42, kWhen);
    EXPECT_EQ(Json::encode(full),
              QByteArray(R"({"appLabel":"App","foregroundSeconds":42,"lastUsedAt":"2025-03-01T08:15:00Z","packageName":"com.app"})"));
}

TEST(AppUsageReport, WritesAndReads)
{
    const AppUsageReport report{"2025-03-01",
                                {AppUsageReport::Item::make("a", std::nullopt, 5, std::nullopt)}};
    EXPECT_EQ(Json::encode(report),
              QByteArray(R"({"date":"2025-03-01","items":[{"foregroundSeconds":5,"packageName":"a"}]})"));
    EXPECT_EQ(Json::decode<AppUsageReport>(Json::encode(report)), report);
    // Reading applies no bounds.
    const auto longLabel = Json::decode<AppUsageReport>(
        R"({"date":"d","items":[{"packageName":"p","appLabel":")" + QByteArray(300, 'x') +
        R"(","foregroundSeconds":1}]})");
    EXPECT_EQ(longLabel.items[0].appLabel->size(), 300);
    EXPECT_EQ(errorOf(R"({"date":"d","items":[{"packageName":"p"}]})", [](const QByteArray& j) { (void)Json::decode<AppUsageReport>(j); }),
              "items[0].foregroundSeconds: required key is missing");
    EXPECT_EQ(errorOf(R"({"date":"d","items":[{"packageName":"p","foregroundSeconds":1,"lastUsedAt":"x"}]})", [](const QByteArray& j) { (void)Json::decode<AppUsageReport>(j); }),
              "items[0].lastUsedAt: bad date");
}

TEST(AcceptedResponse, EmptyObjectHasNoCount)
{
    EXPECT_EQ(Json::decode<AcceptedResponse>("{}").accepted, std::nullopt);
    EXPECT_EQ(Json::decode<AcceptedResponse>(R"({"accepted":12})").accepted, 12);
    EXPECT_EQ(Json::decode<AcceptedResponse>(R"({"accepted":null})").accepted, std::nullopt);
    EXPECT_THROW(Json::decode<AcceptedResponse>(R"({"accepted":"12"})"), Json::DecodingError);
}

TEST(TamperReport, DetailsLeftOutWhenAbsent)
{
    EXPECT_EQ(Json::encode(TamperReport{"extension.disabled", std::nullopt}),
              QByteArray(R"({"eventType":"extension.disabled"})"));
    EXPECT_EQ(Json::encode(TamperReport{"e", QMap<QString, QString>{{"by", "user"}}}),
              QByteArray(R"({"details":{"by":"user"},"eventType":"e"})"));
    EXPECT_EQ(Json::encode(TamperReport{"e", QMap<QString, QString>{}}),
              QByteArray(R"({"details":{},"eventType":"e"})"));
}

TEST(EmptyRecords, BodyIsAnEmptyObjectAndAnyJsonIsAnEmptyResponse)
{
    EXPECT_EQ(Json::encode(EmptyBody{}), QByteArray("{}"));
    for (const char* json : {"{}", "[]", "null", "42", R"("text")", R"({"a":[1,{"b":null}]})"})
        EXPECT_NO_THROW(Json::decode<EmptyResponse>(json)) << json;
    EXPECT_THROW(Json::decode<EmptyResponse>(""), Json::DecodingError);
    EXPECT_THROW(Json::decode<EmptyResponse>("{"), Json::DecodingError);
}

} // namespace
