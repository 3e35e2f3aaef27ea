#include "Services/PolicyConfigSerializer.h"

#include "Support/UnicodeText.h"

namespace {

// Rule order and duplicates are kept; only the case of the domain changes.
QStringList domains(const Policy& policy, RuleAction action)
{
    QStringList list;
    for (const auto& rule : policy.customRules)
        if (rule.action == action)
            list.push_back(UnicodeText::lowercased(rule.domain));
    return list;
}

} // namespace

QString PolicyConfigSerializer::defaultDohURL()
{
    return QStringLiteral("https://dns.orvane.ai/dns-query");
}

QVariantMap PolicyConfigSerializer::dnsProxyConfiguration(const Policy& policy,
                                                          const std::optional<QUrl>& dohURL,
                                                          const BundleInfo& bundle)
{
    QString endpoint;
    if (dohURL && dohURL->isValid() && !dohURL->isEmpty())
        endpoint = dohURL->toString(QUrl::FullyEncoded);
    else
        endpoint = dohURLFromInfoPlist(bundle).value_or(defaultDohURL());

    return {
        {QStringLiteral("dohURL"), endpoint},
        {QStringLiteral("blockedDomains"), blockedDomains(policy)},
        {QStringLiteral("allowedDomains"), allowedDomains(policy)},
        {QStringLiteral("safeSearch"), policy.safeSearch},
        {QStringLiteral("paused"), policy.pausedNow},
    };
}

QVariantMap PolicyConfigSerializer::contentFilterConfiguration(const Policy& policy)
{
    return {
        {QStringLiteral("blockedDomains"), blockedDomains(policy)},
        {QStringLiteral("allowedDomains"), allowedDomains(policy)},
        {QStringLiteral("paused"), policy.pausedNow},
    };
}

std::optional<QString> PolicyConfigSerializer::dohURLFromInfoPlist(const BundleInfo& bundle)
{
    // Any text, even an empty one, as stored; another type of value counts as absent.
    return bundle.text("ORVANE_DNS_DOH_URL");
}

QStringList PolicyConfigSerializer::blockedDomains(const Policy& policy)
{
    return domains(policy, RuleAction::block);
}

QStringList PolicyConfigSerializer::allowedDomains(const Policy& policy)
{
    return domains(policy, RuleAction::allow);
}
