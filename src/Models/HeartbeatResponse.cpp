#include "Models/HeartbeatResponse.h"

HeartbeatResponse HeartbeatResponse::fromJson(const Json::Reader& r)
{
    return {r.optional<QString>("dohHostname"), r.optional<std::int64_t>("serverNowEpochMillis"),
            r.optional<QString>("familyTimezone"), r.optional<bool>("unpairPending"),
            r.optional<QDateTime>("removeAt")};
}

Json::Value HeartbeatResponse::toJson() const
{
    return Json::Writer()
        .put("dohHostname", dohHostname)
        .put("serverNowEpochMillis", serverNowEpochMillis)
        .put("familyTimezone", familyTimezone)
        .put("unpairPending", unpairPending)
        .put("removeAt", removeAt)
        .take();
}
