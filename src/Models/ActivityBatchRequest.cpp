#include "Models/ActivityBatchRequest.h"

ActivityBatchRequest ActivityBatchRequest::fromJson(const Json::Reader& r)
{
    return {r.required<QList<ActivityEvent>>("events")};
}

Json::Value ActivityBatchRequest::toJson() const
{
    return Json::Writer().put("events", events).take();
}
