#include "Models/EnrollResponse.h"

EnrollResponse EnrollResponse::fromJson(const Json::Reader& r)
{
    return {r.required<QString>("deviceToken"), r.required<QUuid>("deviceId"),
            r.required<QUuid>("childId"),       r.optional<QString>("childName"),
            r.required<QUuid>("tenantId"),      r.optional<QString>("dohHostname")};
}

Json::Value EnrollResponse::toJson() const
{
    return Json::Writer()
        .put("deviceToken", deviceToken)
        .put("deviceId", deviceId)
        .put("childId", childId)
        .put("childName", childName)
        .put("tenantId", tenantId)
        .put("dohHostname", dohHostname)
        .take();
}
