#pragma once

#include "Support/Json.h"

#include <QString>

#include <optional>

/** What a custom rule does with its domain. */
enum class RuleAction { allow, block };

/** The text form: "allow" or "block". */
QString ruleActionText(RuleAction action);

/** Only the exact lower-case texts "allow" and "block" give a value. */
std::optional<RuleAction> ruleActionFromText(const QString& text);

/** A single JSON string, compared after lower-casing; anything else is "unknown rule action". */
template <>
struct Json::Codec<RuleAction> {
    static RuleAction read(const Node& v, const std::string& path);
    static Value write(RuleAction action);
};
