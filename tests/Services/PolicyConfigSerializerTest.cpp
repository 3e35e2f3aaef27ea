#include "Services/PolicyConfigSerializer.h"

#include <QDateTime>
#include <QMetaType>

#include <gtest/gtest.h>

namespace {

QVariantMap dnsProxy(const QString& doh, const QStringList& blocked, const QStringList& allowed,
                     bool safeSearch, bool paused)
{
    return {{"dohURL", doh},
            {"blockedDomains", blocked},
            {"allowedDomains", allowed},
            {"safeSearch", safeSearch},
            {"paused", paused}};
}

QVariantMap contentFilter(const QStringList& blocked, const QStringList& allowed, bool paused)
{
    return {{"blockedDomains", blocked}, {"allowedDomains", allowed}, {"paused", paused}};
}

CustomPolicyRule block(const QString& domain)
{
    return {domain, RuleAction::block};
}

CustomPolicyRule allow(const QString& domain)
{
    return {domain, RuleAction::allow};
}

const QString defaultDoh = QStringLiteral("https://dns.orvane.ai/dns-query");
const QDateTime later = QDateTime::fromSecsSinceEpoch(4102444800, Qt::UTC);

struct Case {
    const char* name;
    Policy policy;
    std::optional<QUrl> dohURL;
    Json::Value bundle;
    QVariantMap expectedDnsProxy;
    QVariantMap expectedContentFilter;
};

TEST(PolicyConfigSerializerTest, PoliciesBecomeTheTwoDictionaries)
{
    const Json::Value noEntry = Json::Value::object();
    const Json::Value bundleDoh = {{"ORVANE_DNS_DOH_URL", "https://bundle.example/dns-query"}};

    const Case cases[] = {
        {"rules in order, lower-cased, duplicates kept",
         Policy{.customRules = {block("Ads.Example.COM"), allow("Kids.Example.ORG"),
                                block("ads.example.com")}},
         std::nullopt, noEntry,
         dnsProxy(defaultDoh, {"ads.example.com", "ads.example.com"}, {"kids.example.org"}, true,
                  false),
         contentFilter({"ads.example.com", "ads.example.com"}, {"kids.example.org"}, false)},
        {"full Unicode lower-casing, nothing trimmed or checked",
         Policy{.customRules = {block(QString::fromUtf8("İSTANBUL.Example")),
                                block(QString::fromUtf8("STRAẞE.DE")),
                                block(QString::fromUtf8("Example.ΟΔΟΣ")), allow(" Spaced.Example "),
                                allow("")}},
         std::nullopt, noEntry,
         dnsProxy(defaultDoh,
                  {QString::fromUtf8("i\u0307stanbul.example"), QString::fromUtf8("straße.de"),
                   QString::fromUtf8("example.οδος")},
                  {" spaced.example ", ""}, true, false),
         contentFilter({QString::fromUtf8("i\u0307stanbul.example"), QString::fromUtf8("straße.de"),
                        QString::fromUtf8("example.οδος")},
                       {" spaced.example ", ""}, false)},
        {"one domain both allowed and blocked",
         Policy{.customRules = {allow("Both.Example"), block("both.example")}}, std::nullopt,
         noEntry, dnsProxy(defaultDoh, {"both.example"}, {"both.example"}, true, false),
         contentFilter({"both.example"}, {"both.example"}, false)},
        {"categories without rules give empty lists",
         Policy{.filterLevel = "STRICT",
                .adultContentBlock = false,
                .blockedCategories = {"gambling", "social"},
                .tamperProtectionEnabled = false,
                .dailyScreenTimeMinutes = 90},
         std::nullopt, noEntry, dnsProxy(defaultDoh, {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"paused until later but not paused now",
         Policy{.safeSearch = false, .pausedNow = false, .pausedUntil = later}, std::nullopt,
         noEntry, dnsProxy(defaultDoh, {}, {}, false, false), contentFilter({}, {}, false)},
        {"paused now", Policy{.pausedNow = true}, std::nullopt, noEntry,
         dnsProxy(defaultDoh, {}, {}, true, true), contentFilter({}, {}, true)},
        {"a URL passed in wins over the bundle", Policy{}, QUrl("https://caller.example/dns-query"),
         bundleDoh, dnsProxy("https://caller.example/dns-query", {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"the URL passed in as fully encoded text", Policy{},
         QUrl(QString::fromUtf8("https://caller.example/a b/dns-query?q=ü")), noEntry,
         dnsProxy("https://caller.example/a%20b/dns-query?q=%C3%BC", {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"an empty URL passed in counts as none", Policy{}, QUrl(), bundleDoh,
         dnsProxy("https://bundle.example/dns-query", {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"an invalid URL passed in counts as none", Policy{}, QUrl("http://[::1"), noEntry,
         dnsProxy(defaultDoh, {}, {}, true, false), contentFilter({}, {}, false)},
        {"the bundle's text", Policy{}, std::nullopt, bundleDoh,
         dnsProxy("https://bundle.example/dns-query", {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"the bundle's text exactly as stored, URL or not",
         Policy{},
         std::nullopt,
         {{"ORVANE_DNS_DOH_URL", " not a URL/ÜBER "}},
         dnsProxy(QString::fromUtf8(" not a URL/ÜBER "), {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"an empty bundle text gives an empty endpoint",
         Policy{},
         std::nullopt,
         {{"ORVANE_DNS_DOH_URL", ""}},
         dnsProxy("", {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"a number in the bundle counts as absent",
         Policy{},
         std::nullopt,
         {{"ORVANE_DNS_DOH_URL", 42}},
         dnsProxy(defaultDoh, {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"a list in the bundle counts as absent",
         Policy{},
         std::nullopt,
         {{"ORVANE_DNS_DOH_URL", {"https://a.example/dns-query"}}},
         dnsProxy(defaultDoh, {}, {}, true, false),
         contentFilter({}, {}, false)},
        {"null in the bundle counts as absent",
         Policy{},
         std::nullopt,
         {{"ORVANE_DNS_DOH_URL", nullptr}},
         dnsProxy(defaultDoh, {}, {}, true, false),
         contentFilter({}, {}, false)},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const BundleInfo bundle(c.bundle);
        const QVariantMap dns =
            PolicyConfigSerializer::dnsProxyConfiguration(c.policy, c.dohURL, bundle);
        const QVariantMap filter = PolicyConfigSerializer::contentFilterConfiguration(c.policy);
        EXPECT_EQ(dns, c.expectedDnsProxy);
        EXPECT_EQ(filter, c.expectedContentFilter);

        // Only property-list values, each key with its fixed type.
        EXPECT_EQ(dns.value("dohURL").typeId(), QMetaType::QString);
        EXPECT_EQ(dns.value("safeSearch").typeId(), QMetaType::Bool);
        for (const auto* map : {&dns, &filter}) {
            EXPECT_EQ(map->value("blockedDomains").typeId(), QMetaType::QStringList);
            EXPECT_EQ(map->value("allowedDomains").typeId(), QMetaType::QStringList);
            EXPECT_EQ(map->value("paused").typeId(), QMetaType::Bool);
        }
    }
}

TEST(PolicyConfigSerializerTest, DefaultEndpointIsHttpsWithTheDnsQueryPath)
{
    const QUrl endpoint(PolicyConfigSerializer::defaultDohURL());
    EXPECT_TRUE(endpoint.isValid());
    EXPECT_EQ(endpoint.scheme(), "https");
    EXPECT_FALSE(endpoint.host().isEmpty());
    EXPECT_EQ(endpoint.path(), "/dns-query");
}

} // namespace
