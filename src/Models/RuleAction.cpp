#include "Models/RuleAction.h"

#include "Support/UnicodeText.h"

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

RuleAction Json::Codec<RuleAction>::read(const Value& v, const std::string& path)
{
    const QString text = Codec<QString>::read(v, path);
    if (auto action = ruleActionFromText(UnicodeText::lowercased(text)))
        return *action;
    throw DecodingError(path, "unknown rule action");
}

Json::Value Json::Codec<RuleAction>::write(RuleAction action)
{
    return ruleActionText(action).toStdString();
}
