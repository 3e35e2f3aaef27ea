#pragma once

#include "Support/Json.h"

#include <cstdint>
#include <optional>
#include <string_view>

/** The answer to an app-usage report: how many items the service took, if it says. */
struct AcceptedResponse {
    static constexpr std::string_view typeName = "AcceptedResponse";

    std::optional<std::int64_t> accepted;

    static AcceptedResponse fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const AcceptedResponse&) const = default;
};
