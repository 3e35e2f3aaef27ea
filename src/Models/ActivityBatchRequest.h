#pragma once

#include "Models/ActivityEvent.h"
#include "Support/Json.h"

#include <QList>

#include <string_view>

/** The body of reportActivity(events:): the events in queue order. */
struct ActivityBatchRequest {
    static constexpr std::string_view typeName = "ActivityBatchRequest";

    QList<ActivityEvent> events;

    static ActivityBatchRequest fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const ActivityBatchRequest&) const = default;
};
