#include "Models/Policy.h"

#include "TestSupport/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

const QUuid kChild("{11111111-2222-3333-4444-555555555555}");
const char* kChildJson = R"("childId":"11111111-2222-3333-4444-555555555555")";

Policy decode(const QByteArray& members)
{
    return Json::decode<Policy>("{" + QByteArray(kChildJson) + (members.isEmpty() ? "" : ",") +
                                members + "}");
}

std::string decodeError(const QByteArray& members)
{
    try {
        (void)decode(members);
    } catch (const Json::DecodingError& e) {
        return e.what();
    }
    return "(decoded)";
}

TEST(Policy, OnlyChildIdGivesTheDefaults)
{
    const Policy p = decode("");
    EXPECT_EQ(p.childId, kChild);
    EXPECT_EQ(p.filterLevel, QStringLiteral("MODERATE"));
    EXPECT_TRUE(p.safeSearch);
    EXPECT_TRUE(p.adultContentBlock);
    EXPECT_FALSE(p.pausedNow);
    EXPECT_EQ(p.pausedUntil, std::nullopt);
    EXPECT_TRUE(p.blockedCategories.isEmpty());
    EXPECT_TRUE(p.customRules.isEmpty());
    EXPECT_EQ(p.updatedAt, std::nullopt);
    EXPECT_TRUE(p.tamperProtectionEnabled);
    EXPECT_EQ(p.dailyScreenTimeMinutes, std::nullopt);
    EXPECT_EQ(p, Policy{kChild});
}

TEST(Policy, NullEverywhereGivesTheDefaults)
{
    const Policy p = decode(R"("filterLevel":null,"safeSearch":null,"safeSearchEnabled":null,
        "adultContentBlock":null,"pausedNow":null,"internetPaused":null,"pausedUntil":null,
        "blockedCategories":null,"categoriesBlocked":null,"customRules":null,"updatedAt":null,
        "tamperProtectionEnabled":null,"dailyScreenTimeMinutes":null)");
    EXPECT_EQ(p, Policy{kChild});
}

TEST(Policy, ReadsEveryKey)
{
    const Policy p = decode(R"("filterLevel":"STRICT","safeSearch":false,"adultContentBlock":false,
        "pausedNow":true,"pausedUntil":"2025-03-01T08:15:00.250Z","blockedCategories":["games","social"],
        "customRules":[{"domain":" Example.COM ","action":"allow"},{"domain":"b.test","action":"block","note":1}],
        "updatedAt":"2025-03-01T10:15:00+02:00","tamperProtectionEnabled":false,"dailyScreenTimeMinutes":90,
        "somethingNew":{"a":[1,2]})");
    const Policy expected{kChild,
                          "STRICT",
                          false,
                          false,
                          true,
                          QDateTime(QDate(2025, 3, 1), QTime(8, 15, 0, 250), Qt::UTC),
                          {"games", "social"},
                          {{" Example.COM ", RuleAction::allow}, {"b.test", RuleAction::block}},
                          QDateTime(QDate(2025, 3, 1), QTime(8, 15), Qt::UTC),
                          false,
                          90};
    EXPECT_EQ(p, expected);
}

struct BoolCase {
    const char* name;
    const char* members;
    bool expected;
};

TEST(Policy, SafeSearchFirstKeyWins)
{
    const BoolCase cases[] = {
        {"false beats alternative true", R"("safeSearch":false,"safeSearchEnabled":true)", false},
        {"true beats alternative false", R"("safeSearch":true,"safeSearchEnabled":false)", true},
        {"null falls to alternative false", R"("safeSearch":null,"safeSearchEnabled":false)", false},
        {"missing falls to alternative false", R"("safeSearchEnabled":false)", false},
        {"neither", "", true},
        {"alternative null", R"("safeSearchEnabled":null)", true},
        // The alternative is not looked at when the first key is present.
        {"wrong-typed alternative ignored", R"("safeSearch":false,"safeSearchEnabled":"yes")", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.members).safeSearch, c.expected) << c.name;
    EXPECT_EQ(decodeError(R"("safeSearchEnabled":"yes")"),
              "safeSearchEnabled: expected a boolean, found a string");
}

TEST(Policy, PausedIsEitherKey)
{
    const BoolCase cases[] = {
        {"pausedNow false, internetPaused true", R"("pausedNow":false,"internetPaused":true)", true},
        {"pausedNow true alone", R"("pausedNow":true)", true},
        {"internetPaused true alone", R"("internetPaused":true)", true},
        {"both false", R"("pausedNow":false,"internetPaused":false)", false},
        {"both missing", "", false},
        {"null and false", R"("pausedNow":null,"internetPaused":false)", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.members).pausedNow, c.expected) << c.name;
    // Both are always read: a wrong-typed internetPaused fails even beside pausedNow.
    EXPECT_EQ(decodeError(R"("pausedNow":true,"internetPaused":1)"),
              "internetPaused: expected a boolean, found an integer");
}

TEST(Policy, BlockedCategoriesFirstKeyWins)
{
    EXPECT_TRUE(decode(R"("blockedCategories":[],"categoriesBlocked":["games"])").blockedCategories.isEmpty());
    EXPECT_EQ(decode(R"("categoriesBlocked":["games"])").blockedCategories, QList<QString>{"games"});
    EXPECT_EQ(decode(R"("blockedCategories":null,"categoriesBlocked":["a","b"])").blockedCategories,
              (QList<QString>{"a", "b"}));
    EXPECT_EQ(decode(R"("blockedCategories":["x"],"categoriesBlocked":7)").blockedCategories,
              QList<QString>{"x"});
    EXPECT_EQ(decodeError(R"("categoriesBlocked":7)"),
              "categoriesBlocked: expected an array, found an integer");
    EXPECT_EQ(decodeError(R"("blockedCategories":["a",1])"),
              "blockedCategories[1]: expected a string, found an integer");
}

TEST(Policy, RuleActionIgnoresLetterCase)
{
    const Policy p = decode(
        R"("customRules":[{"domain":"a","action":"BLOCK"},{"domain":"b","action":"Allow"},{"domain":"c","action":"aLLoW"}])");
    ASSERT_EQ(p.customRules.size(), 3);
    EXPECT_EQ(p.customRules[0].action, RuleAction::block);
    EXPECT_EQ(p.customRules[1].action, RuleAction::allow);
    EXPECT_EQ(p.customRules[2].action, RuleAction::allow);
    // Full Unicode lower-casing: KELVIN SIGN lower-cases to "k".
    EXPECT_EQ(decode(R"("customRules":[{"domain":"a","action":"BLOC)" "\xE2\x84\xAA" R"("}])")
                  .customRules[0]
                  .action,
              RuleAction::block);
}

TEST(Policy, FailureTable)
{
    struct Case {
        const char* name;
        const char* members;
        const char* error;
    };
    const Case cases[] = {
        {"unknown action", R"("customRules":[{"domain":"a","action":"allow"},{"domain":"b","action":"allow"},{"domain":"c","action":"deny"}])",
         "customRules[2].action: unknown rule action"},
        {"empty action", R"("customRules":[{"domain":"a","action":""}])", "customRules[0].action: unknown rule action"},
        {"spaced action", R"("customRules":[{"domain":"a","action":" allow"}])", "customRules[0].action: unknown rule action"},
        {"action a number", R"("customRules":[{"domain":"a","action":1}])", "customRules[0].action: expected a string, found an integer"},
        {"rule without domain", R"("customRules":[{"action":"allow"}])", "customRules[0].domain: required key is missing"},
        {"rule without action", R"("customRules":[{"domain":"a"}])", "customRules[0].action: required key is missing"},
        {"rule not an object", R"("customRules":["a"])", "customRules[0]: expected an object, found a string"},
        {"customRules an object", R"("customRules":{})", "customRules: expected an array, found an object"},
        {"safeSearch a string", R"("safeSearch":"true")", "safeSearch: expected a boolean, found a string"},
        {"minutes a fraction", R"("dailyScreenTimeMinutes":1.5)", "dailyScreenTimeMinutes: expected an integer, found a number with a fraction"},
        {"filterLevel a number", R"("filterLevel":3)", "filterLevel: expected a string, found an integer"},
        {"pausedUntil bad date", R"("pausedUntil":"2025-03-01T08:15")", "pausedUntil: bad date"},
        {"updatedAt a date alone", R"("updatedAt":"2025-03-01")", "updatedAt: bad date"},
        {"tamper a number", R"("tamperProtectionEnabled":0)", "tamperProtectionEnabled: expected a boolean, found an integer"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeError(c.members), c.error) << c.name;

    const auto wholeError = [](const QByteArray& json) {
        try {
            (void)Json::decode<Policy>(json);
        } catch (const Json::DecodingError& e) {
            return std::string(e.what());
        }
        return std::string("(decoded)");
    };
    EXPECT_EQ(wholeError("{}"), "childId: required key is missing");
    EXPECT_EQ(wholeError(R"({"childId":null})"), "childId: required value is null");
    EXPECT_EQ(wholeError(R"({"childId":"child-1"})"), "childId: not a UUID");
    EXPECT_EQ(wholeError(R"({"ChildId":"11111111-2222-3333-4444-555555555555"})"),
              "childId: required key is missing");
}

TEST(Policy, EqualityIsFieldByFieldAndOrderMatters)
{
    Policy a{kChild};
    a.customRules = {{"a.test", RuleAction::allow}, {"b.test", RuleAction::block}};
    Policy b = a;
    EXPECT_EQ(a, b);
    b.customRules = {{"b.test", RuleAction::block}, {"a.test", RuleAction::allow}};
    EXPECT_NE(a, b);
    b = a;
    b.updatedAt = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
    EXPECT_NE(a, b);
    b = a;
    b.dailyScreenTimeMinutes = 0;
    EXPECT_NE(a, b);
    b = a;
    b.filterLevel = QStringLiteral("moderate");
    EXPECT_NE(a, b);
    EXPECT_NE((CustomPolicyRule{"a", RuleAction::allow}), (CustomPolicyRule{"A", RuleAction::allow}));
}

TEST(RuleAction, TextForms)
{
    EXPECT_EQ(ruleActionFromText("allow"), RuleAction::allow);
    EXPECT_EQ(ruleActionFromText("block"), RuleAction::block);
    EXPECT_EQ(ruleActionFromText("Allow"), std::nullopt);
    EXPECT_EQ(ruleActionFromText(""), std::nullopt);
    EXPECT_EQ(ruleActionText(RuleAction::allow), QStringLiteral("allow"));
    EXPECT_EQ(ruleActionText(RuleAction::block), QStringLiteral("block"));
}

} // namespace
