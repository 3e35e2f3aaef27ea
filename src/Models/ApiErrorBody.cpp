#include "Models/ApiErrorBody.h"

ApiErrorBody ApiErrorBody::fromJson(const Json::Reader& r)
{
    return {
        r.optional<int>("status"),      r.optional<QString>("type"),
        r.optional<QString>("title"),   r.optional<QString>("detail"),
        r.optional<QString>("traceId"), r.optional<QString>("error"),
        r.optional<QString>("message"),
    };
}

Json::Value ApiErrorBody::toJson() const
{
    return Json::Writer()
        .put("status", status)
        .put("type", type)
        .put("title", title)
        .put("detail", detail)
        .put("traceId", traceId)
        .put("error", error)
        .put("message", message)
        .take();
}
