#include "Models/AppUsageReport.h"

#include "Support/UnicodeText.h"

#include <utility>

AppUsageReport::Item AppUsageReport::Item::make(QString packageName,
                                                const std::optional<QString>& appLabel,
                                                std::int64_t foregroundSeconds,
                                                std::optional<QDateTime> lastUsedAt)
{
    std::optional<QString> label;
    if (appLabel)
        label = UnicodeText::firstCharacters(*appLabel, 200);
    return {std::move(packageName), std::move(label), foregroundSeconds, std::move(lastUsedAt)};
}

AppUsageReport::Item AppUsageReport::Item::fromJson(const Json::Reader& r)
{
    return {r.required<QString>("packageName"), r.optional<QString>("appLabel"),
            r.required<std::int64_t>("foregroundSeconds"), r.optional<QDateTime>("lastUsedAt")};
}

Json::Value AppUsageReport::Item::toJson() const
{
    return Json::Writer()
        .put("packageName", packageName)
        .put("appLabel", appLabel)
        .put("foregroundSeconds", foregroundSeconds)
        .put("lastUsedAt", lastUsedAt)
        .take();
}

AppUsageReport AppUsageReport::fromJson(const Json::Reader& r)
{
    return {r.required<QString>("date"), r.required<QList<Item>>("items")};
}

Json::Value AppUsageReport::toJson() const
{
    return Json::Writer().put("date", date).put("items", items).take();
}
