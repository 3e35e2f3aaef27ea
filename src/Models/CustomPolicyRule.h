#pragma once

#include "Models/RuleAction.h"
#include "Support/Json.h"

#include <QString>

#include <string_view>

/** A per-domain override; the domain is kept exactly as received. */
struct CustomPolicyRule {
    static constexpr std::string_view typeName = "CustomPolicyRule";

    QString domain;
    RuleAction action = RuleAction::block;

    /** Both "domain" and "action" are required. */
    static CustomPolicyRule fromJson(const Json::Reader& r);
    bool operator==(const CustomPolicyRule&) const = default;
};
