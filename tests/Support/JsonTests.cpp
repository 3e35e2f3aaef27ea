// The JSON conventions every record follows (src/Support/Json).
#include "Support/Json.h"
#include "TestSupport/QtPrinters.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

struct Inner {
    QString name;
    std::optional<int> count;
    static Inner fromJson(const Json::Reader& r) { return {r.required<QString>("name"), r.optional<int>("count")}; }
    [[nodiscard]] Json::Value toJson() const { return Json::Writer().put("name", name).put("count", count).take(); }
};

struct Outer {
    QUuid id;
    QList<Inner> items;
    std::optional<QDateTime> when;
    std::optional<QMap<QString, QString>> tags;
    static Outer fromJson(const Json::Reader& r)
    {
        return {r.required<QUuid>("id"), r.required<QList<Inner>>("items"), r.optional<QDateTime>("when"),
                r.optional<QMap<QString, QString>>("tags")};
    }
    [[nodiscard]] Json::Value toJson() const
    {
        return Json::Writer().put("id", id).put("items", items).put("when", when).put("tags", tags).take();
    }
};

std::string errorOf(const QByteArray& json)
{
    try {
        (void)Json::decode<Outer>(json);
    } catch (const Json::DecodingError& e) {
        return e.what();
    }
    return "(decoded)";
}

TEST(JsonConventions, KeyPathsInFailures)
{
    const char* id = R"("id":"11111111-2222-3333-4444-555555555555")";
    const auto with = [id](const char* rest) { return QByteArray("{") + id + "," + rest + "}"; };
    struct Case {
        QByteArray json;
        const char* error;
    };
    const Case cases[] = {
        {with(R"("items":[])"), "(decoded)"},
        {R"({"items":[]})", "id: required key is missing"},
        {with(R"("items":[{"name":"a"},{"name":"b"},{"name":3}])"), "items[2].name: expected a string, found an integer"},
        {with(R"("items":[{"name":"a","count":"x"}])"), "items[0].count: expected an integer, found a string"},
        {with(R"("items":[{}])"), "items[0].name: required key is missing"},
        {with(R"("items":[{"name":null}])"), "items[0].name: required value is null"},
        {with(R"("items":[[]])"), "items[0]: expected an object, found an array"},
        {with(R"("items":{})"), "items: expected an array, found an object"},
        {with(R"("items":[],"when":"yesterday")"), "when: bad date"},
        {with(R"("items":[],"when":"2025-03-01T08:15:00Z\n")"), "when: bad date"},
        {with(R"("items":[],"when":"2025-03-01T08:15:00Z\u0000")"), "when: bad date"},
        {with(R"("items":[],"when":" 2025-03-01T08:15:00Z")"), "when: bad date"},
        {with(R"("items":[],"tags":{"a":"b","c":false})"), "tags.c: expected a string, found a boolean"},
        {with(R"("items":[],"tags":[])"), "tags: expected an object, found an array"},
        {with(R"("items":[{"name":"a","count":4294967296}])"), "items[0].count: integer out of range"},
        {"[]", "expected an object, found an array"},
        {"", "not valid JSON: no JSON value"},
        {R"({"id":"11111111-2222-3333-4444-555555555555","items":[})", "not valid JSON: bad structure"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorOf(c.json), c.error) << c.json.toStdString();
}

TEST(JsonConventions, NullIsAbsentAndUnknownKeysAreIgnored)
{
    const Outer o = Json::decode<Outer>(
        R"({"id":"11111111-2222-3333-4444-555555555555","items":[{"name":"a","count":null,"x":{"y":[1]}}],"when":null,"tags":null,"more":true})");
    EXPECT_EQ(o.items.size(), 1);
    EXPECT_EQ(o.items[0].count, std::nullopt);
    EXPECT_EQ(o.when, std::nullopt);
    EXPECT_EQ(o.tags, std::nullopt);
}

TEST(JsonConventions, KeysAreCaseSensitiveAndARepeatedKeyKeepsItsLastValue)
{
    EXPECT_EQ(errorOf(R"({"ID":"11111111-2222-3333-4444-555555555555","items":[]})"), "id: required key is missing");
    const Inner i = Json::decode<Inner>(R"({"name":"first","name":"last"})");
    EXPECT_EQ(i.name, QStringLiteral("last"));
    const auto map = Json::decode<Outer>(
        R"({"id":"11111111-2222-3333-4444-555555555555","items":[],"tags":{"k":"1","k":"2"}})").tags;
    EXPECT_EQ(map->value("k"), QStringLiteral("2"));
}

TEST(JsonConventions, ALeadingByteOrderMarkInAStringIsText)
{
    // U+FEFF at the start of a value or a map key is kept, not dropped as a UTF-8 signature.
    const QString bom(QChar(0xFEFF));
    EXPECT_EQ(Json::decode<Inner>("{\"name\":\"\xEF\xBB\xBF\xEF\xBB\xBF\"}").name, bom + bom);
    const auto map = Json::decode<Outer>(
        "{\"id\":\"11111111-2222-3333-4444-555555555555\",\"items\":[],"
        "\"tags\":{\"\xEF\xBB\xBFk\":\"1\",\"k\":\"\\ufeff2\"}}").tags;
    ASSERT_TRUE(map);
    EXPECT_EQ(map->value(bom + u'k'), QStringLiteral("1"));
    EXPECT_EQ(map->value("k"), bom + u'2');
}

TEST(JsonConventions, WritingIsCompactWithoutAbsentOptionals)
{
    const Outer o{QUuid("{abcdef01-2345-6789-abcd-ef0123456789}"), {{"a", std::nullopt}, {"b", 2}}, std::nullopt, std::nullopt};
    EXPECT_EQ(Json::encode(o),
              QByteArray(R"({"id":"ABCDEF01-2345-6789-ABCD-EF0123456789","items":[{"name":"a"},{"count":2,"name":"b"}]})"));
    EXPECT_FALSE(Json::encode(o).contains("null"));
    EXPECT_FALSE(Json::encode(o).contains(' '));
}

TEST(JsonConventions, UuidsUpperCaseOutEitherCaseIn)
{
    const QUuid id("{abcdef01-2345-6789-abcd-ef0123456789}");
    for (const char* text : {"abcdef01-2345-6789-abcd-ef0123456789", "ABCDEF01-2345-6789-ABCD-EF0123456789",
                             "AbCdEf01-2345-6789-aBcD-Ef0123456789"})
        EXPECT_EQ(Json::Codec<QUuid>::read(Json::Value(text), "id"), id) << text;
    for (const char* text : {"{abcdef01-2345-6789-abcd-ef0123456789}", "abcdef0123456789abcdef0123456789",
                             "abcdef01-2345-6789-abcd-ef012345678", "abcdef01-2345-6789-abcd-ef012345678g", ""})
        EXPECT_THROW(Json::Codec<QUuid>::read(Json::Value(text), "id"), Json::DecodingError) << text;
    EXPECT_EQ(Json::Codec<QUuid>::write(id), Json::Value("ABCDEF01-2345-6789-ABCD-EF0123456789"));
}

TEST(JsonConventions, IntegersAndTheirRange)
{
    const auto i64 = [](const char* text) { return Json::Codec<std::int64_t>::read(Json::Document(text).root(), "n"); };
    EXPECT_EQ(i64("0"), 0);
    EXPECT_EQ(i64("-0"), 0);
    EXPECT_EQ(i64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(i64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(i64("2.0"), 2) << "a whole number written with a fraction";
    EXPECT_EQ(i64("1e3"), 1000);
    EXPECT_THROW(i64("9223372036854775808"), Json::DecodingError);
    EXPECT_THROW(i64("1.5"), Json::DecodingError);
    EXPECT_THROW(i64("1e300"), Json::DecodingError);
    EXPECT_THROW(i64("true"), Json::DecodingError);
    EXPECT_THROW(i64(R"("1")"), Json::DecodingError);
    EXPECT_EQ(Json::Codec<int>::read(Json::Document("-2147483648").root(), "n"), std::numeric_limits<int>::min());
    EXPECT_THROW(Json::Codec<int>::read(Json::Document("2147483648").root(), "n"), Json::DecodingError);
}

TEST(JsonConventions, BooleansAreOnlyTrueAndFalse)
{
    for (const char* text : {"0", "1", R"("true")", "null", "[]"})
        EXPECT_THROW(Json::Codec<bool>::read(Json::Document(text).root(), "b"), Json::DecodingError) << text;
    EXPECT_TRUE(Json::Codec<bool>::read(Json::Document("true").root(), "b"));
}

TEST(JsonConventions, InstantsWrittenUtcWholeSeconds)
{
    const QDateTime withFraction(QDate(2025, 3, 1), QTime(8, 15, 0, 900), Qt::UTC);
    EXPECT_EQ(Json::Codec<QDateTime>::write(withFraction), Json::Value("2025-03-01T08:15:00Z"));
    const QDateTime offset(QDate(2025, 3, 1), QTime(9, 15), QTimeZone(3600));
    EXPECT_EQ(Json::Codec<QDateTime>::write(offset), Json::Value("2025-03-01T08:15:00Z"));
}

TEST(JsonParse, StrictRfc8259)
{
    struct Case {
        QByteArray text;
        bool valid;
    };
    const Case cases[] = {
        {"{}", true}, {" [1, 2.5e-3, -0, true, false, null, \"x\"] ", true},
        {"\"\\u00e9\\ud83d\\ude00\\n\\/\"", true}, {"\xEF\xBB\xBF{}", true}, {"1", true},
        {"{,}", false}, {"[1,]", false}, {"[01]", false}, {"[+1]", false}, {"[.5]", false},
        {"[1.]", false}, {"[1e]", false}, {"['a']", false}, {"{\"a\" 1}", false}, {"[1] x", false},
        {"\"\\ud800\"", false}, {"\"\\udc00\"", false}, {"\"\\x\"", false}, {"\"a\tb\"", false},
        {"\"\xC0\xAF\"", false}, {"\"\xED\xA0\x80\"", false}, {"\"\xF4\x90\x80\x80\"", false},
        {"[1e400]", false}, {"// c\n{}", false}, {"[NaN]", false}, {"", false}, {"  ", false},
        {QByteArray("[1]\0", 4), false},
    };
    for (const auto& c : cases) {
        bool ok = true;
        try {
            (void)Json::parse(c.text);
        } catch (const Json::DecodingError&) {
            ok = false;
        }
        EXPECT_EQ(ok, c.valid) << c.text.toStdString();
    }
    EXPECT_EQ(Json::parse("[1e-400]")[0].get<double>(), 0.0) << "underflow reads as zero";
    EXPECT_EQ(Json::parse("\xEF\xBB\xBF[1]"), Json::Value::array({1})) << "a byte order mark is ignored";
    EXPECT_EQ(Json::parse("\"\\u00e9\\ud83d\\ude00\"").get<std::string>(), "\u00e9\U0001F600");
}

TEST(JsonParse, NestingIsBounded)
{
    const auto nested = [](int depth) { return QByteArray(depth, '[') + QByteArray(depth, ']'); };
    EXPECT_NO_THROW(Json::parse(nested(Json::Document::maxDepth)));
    EXPECT_THROW(Json::parse(nested(Json::Document::maxDepth + 1)), Json::DecodingError);
    EXPECT_THROW(Json::parse(nested(100000)), Json::DecodingError);
    QByteArray objects;
    for (int i = 0; i <= Json::Document::maxDepth; ++i)
        objects += R"({"a":)";
    objects += "1" + QByteArray(Json::Document::maxDepth + 1, '}');
    try {
        (void)Json::parse(objects);
        FAIL() << "513 nested objects were read";
    } catch (const Json::DecodingError& e) {
        EXPECT_STREQ(e.what(), "not valid JSON: nesting too deep");
    }
}

TEST(JsonParse, ErrorsNameTheFaultNotTheText)
{
    const QByteArray texts[] = {
        R"({"deviceToken":"secret-token-value)",     R"({"deviceToken":"secret-token-value" x})",
        R"({"deviceToken":secret-token-value})",     "{\"deviceToken\":\"secret-token-value\x01\"}",
        R"({"deviceToken":"secret-token-value\q"})", "{\"deviceToken\":\"secret-token-value\xC0\"}",
        R"({"deviceToken":-secret-token-value})",
    };
    for (const QByteArray& text : texts) {
        try {
            (void)Json::parse(text);
            ADD_FAILURE() << "parsed " << text.toStdString();
        } catch (const Json::DecodingError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.find("secret"), std::string::npos) << what;
            EXPECT_EQ(what.find("token"), std::string::npos) << what;
            EXPECT_EQ(what.rfind("not valid JSON: ", 0), 0u) << what;
        }
    }
}

TEST(JsonParse, NumbersKeepTheirKindWithin64Bits)
{
    const Json::Value v = Json::parse(R"({"u":1,"i":-1,"f":1.5,"max":18446744073709551615,"min":-9223372036854775808})");
    EXPECT_TRUE(v["u"].is_number_unsigned());
    EXPECT_TRUE(v["i"].is_number_integer());
    EXPECT_TRUE(v["f"].is_number_float());
    EXPECT_EQ(v["max"].get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(v["min"].get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
    // An integer beyond 64 bits is refused rather than rounded to a double.
    for (const char* text : {"[18446744073709551616]", "[-9223372036854775809]", "[1e400]", "[-1e400]"})
        EXPECT_THROW(Json::parse(text), Json::DecodingError) << text;
}

TEST(JsonDocument, ReadsTheBytesWhereverTheyLieAndKeepsNothingOfThem)
{
    const QByteArray text = R"({"name":"caf\u00e9","count":7,"tail":"x"})";
    // With spare room after the end (read where it lies) and without (copied first); the
    // bytes are overwritten once the document is made.
    for (const bool spareRoom : {true, false}) {
        std::string storage = text.toStdString();
        std::optional<Json::Document> document;
        {
            QByteArray bytes;
            if (spareRoom) {
                bytes.reserve(text.size() + 4 * Json::Document::padding);
                bytes.append(text);
            } else {
                bytes = QByteArray::fromRawData(storage.data(), static_cast<qsizetype>(storage.size()));
            }
            document.emplace(bytes);
            if (spareRoom)
                bytes.fill('#');
            std::fill(storage.begin(), storage.end(), '#');
        }
        const Inner inner = Json::Codec<Inner>::read(document->root(), std::string());
        EXPECT_EQ(inner.name, QStringLiteral("caf\u00e9")) << spareRoom;
        EXPECT_EQ(inner.count, 7) << spareRoom;
    }
    // Only the length counts: a text cut short whose spare room holds the rest is not JSON.
    const QByteArray head = R"({"name":"x","count":7)";
    QByteArray cut;
    cut.reserve(head.size() + 4 * Json::Document::padding);
    cut.append(head + " }");
    cut.truncate(head.size());
    EXPECT_THROW(Json::Document{cut}, Json::DecodingError);
}

TEST(JsonDocument, DocumentsLiveSideBySideAndAfterALargeOne)
{
    QByteArray large = "[";
    for (int i = 0; i < 200000; ++i)
        large += (i ? ",\"" : "\"") + QByteArray::number(i) + '"';
    large += "]";
    ASSERT_GT(large.size(), 1 << 20);
    const Json::Document first(R"({"name":"first"})");
    {
        const Json::Document big(large);
        EXPECT_EQ(big.root().size(), 200000u);
        const Json::Document second(R"({"name":"second"})");
        EXPECT_EQ(Json::Codec<Inner>::read(second.root(), std::string()).name, QStringLiteral("second"));
    }
    const Json::Document third(R"({"name":"third"})");
    EXPECT_EQ(Json::Codec<Inner>::read(first.root(), std::string()).name, QStringLiteral("first"));
    EXPECT_EQ(Json::Codec<Inner>::read(third.root(), std::string()).name, QStringLiteral("third"));
}

TEST(JsonNode, ReadsNlohmannValuesToo)
{
    const Json::Value v = {{"name", "x"}, {"count", 3}};
    const Inner i = Json::Codec<Inner>::read(v, std::string());
    EXPECT_EQ(i.name, QStringLiteral("x"));
    EXPECT_EQ(i.count, 3);
    EXPECT_EQ(Json::Node(v).toValue(), v);
}

} // namespace
