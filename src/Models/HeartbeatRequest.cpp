#include "Models/HeartbeatRequest.h"

#include "Support/UnicodeText.h"

HeartbeatRequest HeartbeatRequest::make(const QString& appVersion, std::optional<int> batteryPct,
                                        const QString& networkType)
{
    return {UnicodeText::firstCharacters(appVersion, 20), batteryPct,
            UnicodeText::firstCharacters(networkType, 20)};
}

HeartbeatRequest HeartbeatRequest::fromJson(const Json::Reader& r)
{
    return {r.required<QString>("appVersion"), r.optional<int>("batteryPct"),
            r.required<QString>("networkType")};
}

Json::Value HeartbeatRequest::toJson() const
{
    return Json::Writer()
        .put("appVersion", appVersion)
        .put("batteryPct", batteryPct)
        .put("networkType", networkType)
        .take();
}
