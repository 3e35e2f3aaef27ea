#include "Models/AcceptedResponse.h"

AcceptedResponse AcceptedResponse::fromJson(const Json::Reader& r)
{
    return {r.optional<std::int64_t>("accepted")};
}

Json::Value AcceptedResponse::toJson() const
{
    return Json::Writer().put("accepted", accepted).take();
}
