#pragma once

#include "Support/Json.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

/** The answer to a batch; only deviceToken is used (a renewed token when not empty). */
struct ActivityBatchResponse {
    static constexpr std::string_view typeName = "ActivityBatchResponse";

    std::optional<std::int64_t> accepted;
    std::optional<std::int64_t> rejected;
    std::optional<std::int64_t> total;
    std::optional<QString> dohHostname;
    std::optional<QString> deviceToken;

    static ActivityBatchResponse fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const ActivityBatchResponse&) const = default;
};
