#include "Models/TamperReport.h"

Json::Value TamperReport::toJson() const
{
    return Json::Writer().put("eventType", eventType).put("details", details).take();
}
