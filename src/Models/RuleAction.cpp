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
    // ASCII lower-cases the same by the ASCII rule as by the full Unicode one; only other texts
    // need ICU (KELVIN SIGN lower-cases to "k", so "BLOC\u212A" is block).
    const std::string_view raw = v.text();
    const bool ascii = std::all_of(raw.begin(), raw.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        if (raw.size() == 5) {
            char lower[5];
            for (int i = 0; i < 5; ++i)
                lower[i] = (raw[i] >= 'A' && raw[i] <= 'Z') ? static_cast<char>(raw[i] + 32) : raw[i];
            const std::string_view word(lower, 5);
            if (word == "allow")
                return RuleAction::allow;
            if (word == "block")
                return RuleAction::block;
        }
        throw DecodingError(path, "unknown rule action");
    }
    const QString text = QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));
    if (auto action = ruleActionFromText(UnicodeText::lowercased(text)))
        return *action;
    throw DecodingError(path, "unknown rule action");
}

Json::Value Json::Codec<RuleAction>::write(RuleAction action)
{
    return ruleActionText(action).toStdString();
}
