#include "Models/ActivityBatchResponse.h"

ActivityBatchResponse ActivityBatchResponse::fromJson(const Json::Reader& r)
{
    return {r.optional<std::int64_t>("accepted"), r.optional<std::int64_t>("rejected"),
            r.optional<std::int64_t>("total"), r.optional<QString>("dohHostname"),
            r.optional<QString>("deviceToken")};
}

Json::Value ActivityBatchResponse::toJson() const
{
    return Json::Writer()
        .put("accepted", accepted)
        .put("rejected", rejected)
        .put("total", total)
        .put("dohHostname", dohHostname)
        .put("deviceToken", deviceToken)
        .take();
}
