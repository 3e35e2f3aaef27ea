#pragma once

#include "Support/Json.h"

#include <QString>

#include <optional>
#include <string_view>

/** The body of heartbeat(_:). */
struct HeartbeatRequest {
    static constexpr std::string_view typeName = "HeartbeatRequest";

    QString appVersion;
    std::optional<int> batteryPct;
    QString networkType;

    /** Applies the bounds: appVersion and networkType keep their first 20 characters. */
    static HeartbeatRequest make(const QString& appVersion, std::optional<int> batteryPct,
                                 const QString& networkType);

    static HeartbeatRequest fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const HeartbeatRequest&) const = default;
};
