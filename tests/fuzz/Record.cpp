// One record of a service answer (ORVANE_FUZZ_RECORD, from ORVANE_FUZZ_RECORD_HEADER):
// decoding gives the record or a DecodingError; a decoded record encodes to text that decodes
// to the same record.
#include "FuzzSupport.h"

#include ORVANE_FUZZ_RECORD_HEADER
#include "Support/Json.h"

#include <string>

using Record = ORVANE_FUZZ_RECORD;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        const Record record = Json::decode<Record>(Fuzz::bytes(data, size));
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
    return 0;
}
