// Every file of the public JSONTestSuite parsing corpus, fed to every record decoder and, as
// an answer body, through the client: each gives a record or an error, never a crash or a
// hang; no n_ file decodes; every y_ file parses.
#include "Models/AcceptedResponse.h"
#include "Models/ActivityBatchRequest.h"
#include "Models/ActivityBatchResponse.h"
#include "Models/ActivityEvent.h"
#include "Models/ApiErrorBody.h"
#include "Models/AppUsageReport.h"
#include "Models/CustomPolicyRule.h"
#include "Models/Device.h"
#include "Models/EmptyResponse.h"
#include "Models/EnrollRequest.h"
#include "Models/EnrollResponse.h"
#include "Models/HeartbeatRequest.h"
#include "Models/HeartbeatResponse.h"
#include "Models/Policy.h"
#include "TestSupport/ApiClientFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>

namespace {

struct Sample {
    QString name;
    QByteArray bytes;
};

QList<Sample> corpus()
{
    const QByteArray source = qgetenv("ORVANE_SOURCE_DIR");
    const QDir dir(QString::fromLocal8Bit(source) + "/../shared/testdata/JSONTestSuite/test_parsing");
    QList<Sample> samples;
    for (const QFileInfo& info : dir.entryInfoList({"*.json"}, QDir::Files, QDir::Name)) {
        QFile file(info.filePath());
        if (file.open(QIODevice::ReadOnly))
            samples.append({info.fileName(), file.readAll()});
    }
    return samples;
}

using Decoder = std::function<void(const QByteArray&)>;

template <typename R>
std::pair<const char*, Decoder> decoder(const char* name)
{
    return {name, [](const QByteArray& bytes) { (void)Json::decode<R>(bytes); }};
}

const std::vector<std::pair<const char*, Decoder>>& decoders()
{
    static const std::vector<std::pair<const char*, Decoder>> all{
        decoder<ApiErrorBody>("ApiErrorBody"),
        decoder<EnrollRequest>("EnrollRequest"),
        decoder<EnrollResponse>("EnrollResponse"),
        decoder<HeartbeatRequest>("HeartbeatRequest"),
        decoder<HeartbeatResponse>("HeartbeatResponse"),
        decoder<Device>("Device"),
        decoder<Policy>("Policy"),
        decoder<CustomPolicyRule>("CustomPolicyRule"),
        decoder<ActivityEvent>("ActivityEvent"),
        decoder<ActivityBatchRequest>("ActivityBatchRequest"),
        decoder<ActivityBatchResponse>("ActivityBatchResponse"),
        decoder<AppUsageReport>("AppUsageReport"),
        decoder<AppUsageReport::Item>("AppUsageReport.Item"),
        decoder<AcceptedResponse>("AcceptedResponse"),
        decoder<EmptyResponse>("EmptyResponse"),
        {"Json::parse", [](const QByteArray& bytes) { (void)Json::parse(bytes); }},
    };
    return all;
}

/** Whether the decoder gave a record; a DecodingError is a refusal; anything else fails. */
bool decodes(const Decoder& decode, const Sample& sample, const char* name)
{
    try {
        decode(sample.bytes);
        return true;
    } catch (const Json::DecodingError&) {
        return false;
    } catch (const std::exception& e) {
        ADD_FAILURE() << name << " on " << sample.name.toStdString() << " threw " << e.what();
        return false;
    }
}

TEST(JsonTestSuite, CorpusIsThere)
{
    const auto samples = corpus();
    EXPECT_GE(samples.size(), 318) << "ORVANE_SOURCE_DIR=" << qgetenv("ORVANE_SOURCE_DIR").toStdString();
}

TEST(JsonTestSuite, EveryDecoderGivesARecordOrAnError)
{
    int accepted = 0, refused = 0;
    for (const Sample& sample : corpus()) {
        const bool mustReject = sample.name.startsWith("n_");
        const bool mustAccept = sample.name.startsWith("y_");
        for (const auto& [name, decode] : decoders()) {
            const bool ok = decodes(decode, sample, name);
            ok ? ++accepted : ++refused;
            if (mustReject) {
                EXPECT_FALSE(ok) << name << " decoded " << sample.name.toStdString();
            }
        }
        // Any JSON text is an EmptyResponse, so every valid document must decode as one.
        if (mustAccept) {
            EXPECT_TRUE(decodes(decoders()[14].second, sample, "EmptyResponse")) << sample.name.toStdString();
        }
    }
    RecordProperty("accepted", accepted);
    RecordProperty("refused", refused);
}

TEST(JsonTestSuite, NulAfterANumberIsRefused)
{
    // nlohmann/json alone accepts this one: its parser stops at the NUL.
    const QByteArray bytes("[1]\0", 4);
    EXPECT_THROW(Json::parse(bytes), Json::DecodingError);
    EXPECT_THROW(Json::decode<EmptyResponse>(QByteArray("123\0", 4)), Json::DecodingError);
    for (const Sample& sample : corpus())
        if (sample.name == "n_multidigit_number_then_00.json") {
            EXPECT_THROW(Json::decode<EmptyResponse>(sample.bytes), Json::DecodingError);
        }
}

TEST(JsonTestSuite, ParsesLikeNlohmannOnTheCorpus)
{
    // On every file that must be accepted or refused the parser agrees with nlohmann/json,
    // value for value (apart from the NUL case, which nlohmann alone accepts). On the
    // implementation-defined files it may only be stricter: it refuses integers beyond 64 bits
    // and numbers beyond a double, which nlohmann rounds.
    for (const Sample& sample : corpus()) {
        if (sample.name == "n_multidigit_number_then_00.json")
            continue;
        bool theirs = true;
        Json::Value expected;
        try {
            expected = Json::Value::parse(sample.bytes.cbegin(), sample.bytes.cend());
        } catch (const nlohmann::json::exception&) {
            theirs = false;
        }
        bool ours = true;
        Json::Value actual;
        try {
            actual = Json::parse(sample.bytes);
        } catch (const Json::DecodingError&) {
            ours = false;
        }
        if (sample.name.startsWith("i_") && theirs && !ours) {
            EXPECT_TRUE(sample.name.startsWith("i_number_")) << sample.name.toStdString();
            continue;
        }
        EXPECT_EQ(ours, theirs) << sample.name.toStdString();
        if (ours && theirs) {
            EXPECT_EQ(actual, expected) << sample.name.toStdString();
        }
    }
}

TEST_F(ApiClientFixture, JsonTestSuiteAsAnswerBodies)
{
    // Each file as the body of a 200 answer, for an empty answer and for a policy.
    int requests = 0;
    for (const Sample& sample : corpus()) {
        const bool mustReject = sample.name.startsWith("n_");
        for (int kind = 0; kind < 2; ++kind) {
            server.enqueue(ScriptedHttpServer::Answer::json(200, sample.bytes));
            ++requests;
            try {
                if (kind == 0)
                    await(client->reportTamper("t", std::nullopt));
                else
                    (void)await(client->fetchPolicy());
                EXPECT_FALSE(mustReject) << sample.name.toStdString();
            } catch (const ApiError& e) {
                EXPECT_NE(e.as<ApiError::Decoding>(), nullptr) << sample.name.toStdString() << ": " << e.what();
            }
        }
    }
    EXPECT_EQ(server.requests().size(), requests);
}

} // namespace
