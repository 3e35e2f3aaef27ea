#pragma once

#include "Support/Json.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

/** The answer to heartbeat(_:); every field is optional and none is acted on. */
struct HeartbeatResponse {
    static constexpr std::string_view typeName = "HeartbeatResponse";

    std::optional<QString> dohHostname;
    std::optional<std::int64_t> serverNowEpochMillis;
    std::optional<QString> familyTimezone;
    std::optional<bool> unpairPending;
    std::optional<QDateTime> removeAt;

    static HeartbeatResponse fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const HeartbeatResponse&) const = default;
};
