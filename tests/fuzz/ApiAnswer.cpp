// The client's answer path without a socket: status, size flag and body in, the expected record
// or an ApiError out. Input: two bytes of status, one byte choosing the record (low bits) and
// whether the body was over the limit (high bit), then the body.
#include "FuzzSupport.h"

#include "Models/AcceptedResponse.h"
#include "Models/ActivityBatchResponse.h"
#include "Models/EnrollResponse.h"
#include "Models/HeartbeatResponse.h"
#include "Models/Policy.h"
#include "Services/ApiAnswer.h"

namespace {

ApiError redact(const ApiError& error)
{
    return error;
}

template <typename Response>
void read(const ApiAnswer& answer)
{
    try {
        (void)readApiAnswer<Response>(answer, redact);
        Fuzz::check(answer.status >= 200 && answer.status <= 299 &&
                        (!answer.bodyTooLarge || answer.status == 204),
                    "an answer outside 2xx or over the limit gave a record");
    } catch (const ApiError& error) {
        if (answer.status < 200 || answer.status > 299) {
            const auto* http = error.as<ApiError::Http>();
            Fuzz::check(http && http->status == answer.status,
                        "a non-2xx answer is not an http error with its status");
        } else {
            Fuzz::check(error.as<ApiError::Decoding>() != nullptr,
                        "a 2xx answer failed other than by decoding");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    ApiAnswer answer;
    answer.status = (data[0] << 8 | data[1]) % 1000;
    answer.bodyTooLarge = (data[2] & 0x80) != 0;
    if (!answer.bodyTooLarge)
        answer.body = Fuzz::bytes(data + 3, size - 3);
    switch (data[2] & 0x7) {
    case 0:
        read<EnrollResponse>(answer);
        break;
    case 1:
        read<HeartbeatResponse>(answer);
        break;
    case 2:
        read<Policy>(answer);
        break;
    case 3:
        read<ActivityBatchResponse>(answer);
        break;
    case 4:
        read<AcceptedResponse>(answer);
        break;
    default:
        read<EmptyResponse>(answer);
        break;
    }
    return 0;
}
