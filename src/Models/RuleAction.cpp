#include "Models/RuleAction.h"

#include "Support/UnicodeText.h"

#include <algorithm>

QString ruleActionText(RuleAction action)
{
    return action == RuleAction::allow ? QStringLiteral("allow") : QStringLiteral("block");
}

std::optional<RuleAction> ruleActionFromText(const QString& text)
{
    if (text == u"allow")
        return RuleAction::allow;
    if (text == u"block")
        return RuleAction::block;
    return std::nullopt;
}

RuleAction Json::Codec<RuleAction>::read(const Node& v, const std::string& path)
{
    if (!v.isString())
        throw DecodingError(path, "expected a string, found " + typeName(v));
    // The exact words need no lower-casing; other ASCII lower-cases the same either way; only
    // other texts need full Unicode lower-casing (KELVIN SIGN lower-cases to "k").
    const std::string_view raw = v.text();
    if (raw == "allow")
        return RuleAction::allow;
    if (raw == "block")
        return RuleAction::block;
    const QString text = QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));
    const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (auto action = ruleActionFromText(ascii ? text.toLower() : UnicodeText::lowercased(text)))
        return *action;
    throw DecodingError(path, "unknown rule action");
}

Json::Value Json::Codec<RuleAction>::write(RuleAction action)
{
    return ruleActionText(action).toStdString();
}
