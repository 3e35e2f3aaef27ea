#include "Models/Device.h"
#include "Models/EnrollRequest.h"
#include "Models/EnrollResponse.h"
#include "Models/HeartbeatRequest.h"
#include "Models/HeartbeatResponse.h"
#include "Support/UnicodeText.h"

#include "TestSupport/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

const QUuid kDevice("{6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f}");
const QUuid kChild("{11111111-2222-3333-4444-555555555555}");
const QUuid kTenant("{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}");

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

// --- sanitizeModel ---

struct SanitizeCase {
    const char* name;
    QString input;
    QString expected;
};

TEST(EnrollRequest, SanitizeModelTable)
{
    const SanitizeCase cases[] = {
        {"typographic apostrophe dropped", QString::fromUtf8("Emma\u2019s MacBook"),
         QStringLiteral("Emmas MacBook")},
        {"kept punctuation", QStringLiteral(" ._()+/,-"), QStringLiteral(" ._()+/,-")},
        {"blanks kept, no trimming", QStringLiteral("  Mac  Book  "), QStringLiteral("  Mac  Book  ")},
        {"only emoji", QString::fromUtf8("\U0001F600\U0001F680"), QStringLiteral("Mac")},
        {"only other punctuation", QStringLiteral("!?#@*&%$"), QStringLiteral("Mac")},
        {"empty", QString(), QStringLiteral("Mac")},
        {"accented precomposed", QString::fromUtf8("Am\u00e9lie"), QString::fromUtf8("Am\u00e9lie")},
        {"combining accent dropped", QString::fromUtf8("Ame\u0301lie"), QStringLiteral("Amelie")},
        {"cyrillic", QString::fromUtf8("\u041c\u0430\u0448\u0430"), QString::fromUtf8("\u041c\u0430\u0448\u0430")},
        {"cjk", QString::fromUtf8("\u5c0f\u660e\u7684Mac"), QString::fromUtf8("\u5c0f\u660e\u7684Mac")},
        {"arabic-indic digits", QString::fromUtf8("\u0661\u0662\u0663"), QString::fromUtf8("\u0661\u0662\u0663")},
        {"roman numeral Nl, superscript No", QString::fromUtf8("\u2162\u00b2"), QString::fromUtf8("\u2162\u00b2")},
        {"tabs, line breaks, controls", QStringLiteral("a\tb\nc\rd\u0001e"), QStringLiteral("abcde")},
        {"no-break and ideographic spaces", QString::fromUtf8("a\u00a0b\u3000c"), QStringLiteral("abc")},
        {"symbols", QStringLiteral("a=b<c>~|^`"), QStringLiteral("abc")},
        {"emoji with letters", QString::fromUtf8("Leo\U0001F3AE Mac"), QStringLiteral("Leo Mac")},
        {"astral letter kept", QString::fromUtf8("\U00010400x"), QString::fromUtf8("\U00010400x")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EnrollRequest::sanitizeModel(c.input), c.expected) << c.name;
}

TEST(EnrollRequest, SanitizeModelKeepsFirst200Characters)
{
    EXPECT_EQ(EnrollRequest::sanitizeModel(QString(250, u'x')), QString(200, u'x'));
    EXPECT_EQ(EnrollRequest::sanitizeModel(QString(200, u'y')), QString(200, u'y'));
    // 250 letters outside the basic plane: 200 characters are 400 UTF-16 units.
    QString astral;
    for (int i = 0; i < 250; ++i)
        astral += QString::fromUtf8("\U00010400");
    const QString cut = EnrollRequest::sanitizeModel(astral);
    EXPECT_EQ(UnicodeText::characterCount(cut), 200);
    EXPECT_EQ(cut.size(), 400);
}

TEST(EnrollRequest, MakeAppliesTheBounds)
{
    const auto request =
        EnrollRequest::make("123456", "fp", QString::fromUtf8("Zo\u00eb\u2019s Mac\U0001F34E"),
                            QString(60, u'o'), QString(25, u'v'), "MACOS");
    EXPECT_EQ(request.pairingCode, QStringLiteral("123456"));
    EXPECT_EQ(request.deviceFingerprint, QStringLiteral("fp"));
    EXPECT_EQ(request.model, QString::fromUtf8("Zo\u00ebs Mac"));
    EXPECT_EQ(request.osVersion, QString(50, u'o'));
    EXPECT_EQ(request.appVersion, QString(20, u'v'));
    EXPECT_EQ(request.platform, QStringLiteral("MACOS"));
}

TEST(EnrollRequest, CutsCountGraphemeClusters)
{
    // 25 flags, each two regional indicators (4 UTF-16 units): 20 characters are kept.
    QString flags;
    for (int i = 0; i < 25; ++i)
        flags += QString::fromUtf8("\U0001F1EB\U0001F1F7");
    const auto request = EnrollRequest::make("1", "f", "m", "os", flags, "MACOS");
    EXPECT_EQ(UnicodeText::characterCount(request.appVersion), 20);
    EXPECT_EQ(request.appVersion.size(), 80);
    // "e" + combining accent is one character; 20 of them keep their accents.
    QString accented;
    for (int i = 0; i < 21; ++i)
        accented += QString::fromUtf8("e\u0301");
    EXPECT_EQ(EnrollRequest::make("1", "f", "m", "os", accented, "M").appVersion, accented.left(40));
}

TEST(EnrollRequest, WritesAllSixKeys)
{
    const auto request = EnrollRequest::make("123456", "fp", "Mac", "14.1", "1.1.0", "MACOS");
    EXPECT_EQ(Json::encode(request),
              QByteArray(R"({"appVersion":"1.1.0","deviceFingerprint":"fp","model":"Mac","osVersion":"14.1","pairingCode":"123456","platform":"MACOS"})"));
    EXPECT_EQ(Json::decode<EnrollRequest>(Json::encode(request)), request);
}

TEST(EnrollRequest, ReadingAppliesNoBounds)
{
    const QByteArray json = R"({"pairingCode":"1","deviceFingerprint":"f","model":"Emoji )"
                            "\xF0\x9F\x98\x80"
                            R"(","osVersion":")" + QByteArray(60, 'o') +
                            R"(","appVersion":"v","platform":"MACOS"})";
    const auto request = Json::decode<EnrollRequest>(json);
    EXPECT_EQ(request.osVersion.size(), 60);
    EXPECT_TRUE(request.model.endsWith(QString::fromUtf8("\U0001F600")));
    EXPECT_THROW(Json::decode<EnrollRequest>(R"({"pairingCode":"1"})"), Json::DecodingError);
}

// --- EnrollResponse ---

struct DecodeCase {
    const char* name;
    const char* json;
    const char* error; // nullptr: decodes
};

template <typename R>
void runTable(const std::initializer_list<DecodeCase>& cases)
{
    for (const auto& c : cases) {
        try {
            (void)Json::decode<R>(QByteArray(c.json));
            EXPECT_EQ(c.error, nullptr) << c.name << ": decoded, expected " << c.error;
        } catch (const Json::DecodingError& e) {
            if (c.error == nullptr)
                ADD_FAILURE() << c.name << ": " << e.what();
            else
                EXPECT_STREQ(e.what(), c.error) << c.name;
        }
    }
}

TEST(EnrollResponse, DecodingTable)
{
    runTable<EnrollResponse>({
        {"all keys",
         R"({"deviceToken":"tok","deviceId":"6F1C2A4E-1B2D-4C3E-9F00-0A1B2C3D4E5F","childId":"11111111-2222-3333-4444-555555555555","childName":"Emma","tenantId":"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE","dohHostname":"x.dns"})",
         nullptr},
        {"without optionals",
         R"({"deviceToken":"tok","deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"})",
         nullptr},
        {"optionals null",
         R"({"deviceToken":"tok","deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee","childName":null,"dohHostname":null})",
         nullptr},
        {"no tenantId",
         R"({"deviceToken":"tok","deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555"})",
         "tenantId: required key is missing"},
        {"deviceId not a UUID",
         R"({"deviceToken":"tok","deviceId":"device-1","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"})",
         "deviceId: not a UUID"},
        {"deviceId with braces",
         R"({"deviceToken":"tok","deviceId":"{6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f}","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"})",
         "deviceId: not a UUID"},
        {"token null",
         R"({"deviceToken":null,"deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"})",
         "deviceToken: required value is null"},
        {"token a number",
         R"({"deviceToken":5,"deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"})",
         "deviceToken: expected a string, found an integer"},
        {"childName a number",
         R"({"deviceToken":"t","deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee","childName":7})",
         "childName: expected a string, found an integer"},
        {"an array", "[]", "expected an object, found an array"},
    });
}

TEST(EnrollResponse, ReadsUuidsInEitherCaseAndWritesThemUpperCase)
{
    const auto response = Json::decode<EnrollResponse>(
        R"({"deviceToken":"tok","deviceId":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"AAAAAAAA-bbbb-CCCC-dddd-EEEEEEEEEEEE","unknown":{"x":1}})");
    EXPECT_EQ(response.deviceId, kDevice);
    EXPECT_EQ(response.childId, kChild);
    EXPECT_EQ(response.tenantId, kTenant);
    EXPECT_EQ(response.childName, std::nullopt);
    EXPECT_EQ(Json::encode(response),
              QByteArray(R"({"childId":"11111111-2222-3333-4444-555555555555","deviceId":"6F1C2A4E-1B2D-4C3E-9F00-0A1B2C3D4E5F","deviceToken":"tok","tenantId":"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"})"));
}

// --- HeartbeatRequest ---

TEST(HeartbeatRequest, MakeAppliesTheBounds)
{
    const auto request = HeartbeatRequest::make(QString(25, u'1'), 80, QString(30, u'w'));
    EXPECT_EQ(request.appVersion, QString(20, u'1'));
    EXPECT_EQ(request.networkType, QString(20, u'w'));
    EXPECT_EQ(request.batteryPct, 80);
    EXPECT_EQ(HeartbeatRequest::make("1.1.0", std::nullopt, "wifi").appVersion, QStringLiteral("1.1.0"));
}

TEST(HeartbeatRequest, BatteryLeftOutWhenAbsent)
{
    EXPECT_EQ(Json::encode(HeartbeatRequest::make("1.1.0", std::nullopt, "wifi")),
              QByteArray(R"({"appVersion":"1.1.0","networkType":"wifi"})"));
    EXPECT_EQ(Json::encode(HeartbeatRequest::make("1.1.0", 42, "wifi")),
              QByteArray(R"({"appVersion":"1.1.0","batteryPct":42,"networkType":"wifi"})"));
}

TEST(HeartbeatRequest, Decoding)
{
    runTable<HeartbeatRequest>({
        {"with battery", R"({"appVersion":"1","batteryPct":5,"networkType":"wifi"})", nullptr},
        {"battery null", R"({"appVersion":"1","batteryPct":null,"networkType":"wifi"})", nullptr},
        {"battery a string", R"({"appVersion":"1","batteryPct":"5","networkType":"wifi"})",
         "batteryPct: expected an integer, found a string"},
        {"battery a fraction", R"({"appVersion":"1","batteryPct":5.5,"networkType":"wifi"})",
         "batteryPct: expected an integer, found a number with a fraction"},
        {"no network type", R"({"appVersion":"1"})", "networkType: required key is missing"},
    });
}

// --- HeartbeatResponse ---

TEST(HeartbeatResponse, DecodingTable)
{
    runTable<HeartbeatResponse>({
        {"empty object", "{}", nullptr},
        {"all fields",
         R"({"dohHostname":"d","serverNowEpochMillis":1740816900000,"familyTimezone":"Europe/Paris","unpairPending":false,"removeAt":"2025-03-01T08:15:00Z"})",
         nullptr},
        {"all null",
         R"({"dohHostname":null,"serverNowEpochMillis":null,"familyTimezone":null,"unpairPending":null,"removeAt":null})",
         nullptr},
        {"unpairPending a string", R"({"unpairPending":"true"})",
         "unpairPending: expected a boolean, found a string"},
        {"removeAt bad date", R"({"removeAt":"2025-03-01 08:15:00Z"})", "removeAt: bad date"},
        {"removeAt a number", R"({"removeAt":1740816900})", "removeAt: expected a string, found an integer"},
        {"millis a fraction", R"({"serverNowEpochMillis":1.5})",
         "serverNowEpochMillis: expected an integer, found a number with a fraction"},
        {"millis too big", R"({"serverNowEpochMillis":9223372036854775808})",
         "serverNowEpochMillis: integer out of range"},
        {"a string", R"("ok")", "expected an object, found a string"},
    });
}

TEST(HeartbeatResponse, ReadsEveryField)
{
    const auto r = Json::decode<HeartbeatResponse>(
        R"({"dohHostname":"d.example","serverNowEpochMillis":-9223372036854775808,"familyTimezone":"Europe/Paris","unpairPending":true,"removeAt":"2025-03-01T09:15:00+01:00"})");
    EXPECT_EQ(r.dohHostname, QStringLiteral("d.example"));
    EXPECT_EQ(r.serverNowEpochMillis, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(r.familyTimezone, QStringLiteral("Europe/Paris"));
    EXPECT_EQ(r.unpairPending, true);
    EXPECT_EQ(r.removeAt, utc(2025, 3, 1, 8, 15, 0));
    EXPECT_EQ(Json::decode<HeartbeatResponse>("{}"), HeartbeatResponse{});
    EXPECT_EQ(Json::encode(HeartbeatResponse{}), QByteArray("{}"));
}

// --- Device ---

TEST(Device, DecodingTable)
{
    runTable<Device>({
        {"required only",
         R"({"id":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee","platform":"MACOS","enrolledAt":"2025-03-01T08:15:00Z"})",
         nullptr},
        {"lastSeenAt bad date",
         R"({"id":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee","platform":"MACOS","enrolledAt":"2025-03-01T08:15:00Z","lastSeenAt":"2025-03-01"})",
         "lastSeenAt: bad date"},
        {"no enrolledAt",
         R"({"id":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee","platform":"MACOS"})",
         "enrolledAt: required key is missing"},
        {"name a bool",
         R"({"id":"6f1c2a4e-1b2d-4c3e-9f00-0a1b2c3d4e5f","childId":"11111111-2222-3333-4444-555555555555","tenantId":"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee","platform":"MACOS","name":true,"enrolledAt":"2025-03-01T08:15:00Z"})",
         "name: expected a string, found a boolean"},
    });
}

TEST(Device, EqualityAndRoundTrip)
{
    const Device device{kDevice, kChild, kTenant, "MACOS", "Emma's Mac", std::nullopt, "14.1",
                        utc(2025, 3, 1, 8, 15, 0), utc(2025, 3, 2, 9, 0, 0)};
    Device other = device;
    EXPECT_EQ(device, other);
    other.model = QStringLiteral("");
    EXPECT_NE(device, other);
    other = device;
    other.lastSeenAt.reset();
    EXPECT_NE(device, other);
    EXPECT_EQ(Json::decode<Device>(Json::encode(device)), device);
    EXPECT_EQ(Json::encode(device),
              QByteArray(R"({"childId":"11111111-2222-3333-4444-555555555555","enrolledAt":"2025-03-01T08:15:00Z","id":"6F1C2A4E-1B2D-4C3E-9F00-0A1B2C3D4E5F","lastSeenAt":"2025-03-02T09:00:00Z","name":"Emma's Mac","osVersion":"14.1","platform":"MACOS","tenantId":"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"})"));
}

} // namespace
