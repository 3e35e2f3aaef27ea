#include "Models/CustomPolicyRule.h"

CustomPolicyRule CustomPolicyRule::fromJson(const Json::Reader& r)
{
    return {r.required<QString>("domain"), r.required<RuleAction>("action")};
}
