#pragma once

#include "Support/Json.h"

#include <string_view>

/** The answer type of calls whose answer carries nothing. Any JSON text decodes as one. */
struct EmptyResponse {
    static constexpr std::string_view typeName = "EmptyResponse";

    static EmptyResponse fromJson(const Json::Reader&) { return {}; }
    bool operator==(const EmptyResponse&) const = default;
};

/** Reads nothing: not only objects but any JSON value gives an EmptyResponse. */
template <>
struct Json::Codec<EmptyResponse> {
    static EmptyResponse read(const Node&, const std::string&) { return {}; }
};
