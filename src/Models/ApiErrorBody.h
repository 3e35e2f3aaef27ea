#pragma once

#include "Support/Json.h"

#include <QString>

#include <optional>
#include <string_view>

/** The service's problem-details error body. Every member is optional. */
struct ApiErrorBody {
    static constexpr std::string_view typeName = "ApiErrorBody";

    std::optional<int> status;
    std::optional<QString> type;
    std::optional<QString> title;
    std::optional<QString> detail;
    std::optional<QString> traceId;
    std::optional<QString> error;
    std::optional<QString> message;

    static ApiErrorBody fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const ApiErrorBody&) const = default;
};
