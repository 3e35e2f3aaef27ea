// The JSON reader itself: any bytes give a document or a DecodingError; a document written
// out again reads back to the same value.
#include "FuzzSupport.h"

#include "Support/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Json::Value value;
    try {
        const Json::Document document(Fuzz::bytes(data, size));
        value = document.root().toValue();
    } catch (const Json::DecodingError&) {
        return 0;
    }
    const QByteArray written = Json::write(value);
    try {
        const Json::Document again(written);
        Fuzz::check(again.root().toValue() == value, "written JSON reads back differently");
    } catch (const Json::DecodingError&) {
        Fuzz::fail("written JSON does not read back");
    }
    return 0;
}
