// Every record of a service answer, the first byte choosing which (its value modulo 8, so '0' to
// '7' in the committed inputs): decoding gives the record or a DecodingError; a decoded record
// encodes to text that decodes to the same record.
#include "FuzzSupport.h"

#include "Models/AcceptedResponse.h"
#include "Models/ActivityBatchResponse.h"
#include "Models/ApiErrorBody.h"
#include "Models/CustomPolicyRule.h"
#include "Models/EnrollResponse.h"
#include "Models/HeartbeatResponse.h"
#include "Models/Policy.h"
#include "Models/RuleAction.h"
#include "Support/Json.h"

namespace {

template <typename Record>
void decode(const QByteArray& text)
{
    try {
        const Record record = Json::decode<Record>(text);
        if constexpr (Json::WritableRecord<Record>) {
            const QByteArray once = Json::encode(record);
            QByteArray twice;
            try {
                twice = Json::encode(Json::decode<Record>(once));
            } catch (const Json::DecodingError&) {
                Fuzz::fail("a decoded record's own encoding does not decode");
            }
            Fuzz::check(once == twice, "encoding a decoded record is not stable");
        }
    } catch (const Json::DecodingError& e) {
        Fuzz::check(!e.path().empty() || !e.reason().empty(), "a decoding error says nothing");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray text = Fuzz::bytes(data + 1, size - 1);
    switch (data[0] % 8) {
    case 0:
        decode<EnrollResponse>(text);
        break;
    case 1:
        decode<HeartbeatResponse>(text);
        break;
    case 2:
        decode<Policy>(text);
        break;
    case 3:
        decode<CustomPolicyRule>(text);
        break;
    case 4:
        decode<RuleAction>(text);
        break;
    case 5:
        decode<ActivityBatchResponse>(text);
        break;
    case 6:
        decode<AcceptedResponse>(text);
        break;
    default:
        decode<ApiErrorBody>(text);
        break;
    }
    return 0;
}
