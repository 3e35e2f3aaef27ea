#include "Models/Device.h"

Device Device::fromJson(const Json::Reader& r)
{
    return {r.required<QUuid>("id"),
            r.required<QUuid>("childId"),
            r.required<QUuid>("tenantId"),
            r.required<QString>("platform"),
            r.optional<QString>("name"),
            r.optional<QString>("model"),
            r.optional<QString>("osVersion"),
            r.required<QDateTime>("enrolledAt"),
            r.optional<QDateTime>("lastSeenAt")};
}

Json::Value Device::toJson() const
{
    return Json::Writer()
        .put("id", id)
        .put("childId", childId)
        .put("tenantId", tenantId)
        .put("platform", platform)
        .put("name", name)
        .put("model", model)
        .put("osVersion", osVersion)
        .put("enrolledAt", enrolledAt)
        .put("lastSeenAt", lastSeenAt)
        .take();
}
