#pragma once

#include "Support/Json.h"

#include <string_view>

/** The body type of calls that send none; encodes as "{}" (the body itself is then absent). */
struct EmptyBody {
    static constexpr std::string_view typeName = "EmptyBody";

    [[nodiscard]] Json::Value toJson() const { return Json::Value::object(); }
    bool operator==(const EmptyBody&) const = default;
};
