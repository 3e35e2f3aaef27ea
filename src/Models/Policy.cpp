#include "Models/Policy.h"

namespace {

/** The first key whenever it is present (not null); else the alternative; else nothing. */
template <typename T>
std::optional<T> firstOrAlternative(const Json::Reader& r, const char* key, const char* alternative)
{
    if (r.isPresent(key))
        return r.optional<T>(key);
    return r.optional<T>(alternative);
}

} // namespace

Policy Policy::fromJson(const Json::Reader& r)
{
    // Read in the order of the table, so that the first failing key is the one reported.
    Policy p;
    p.childId = r.required<QUuid>("childId");
    p.filterLevel = r.optional<QString>("filterLevel").value_or(QStringLiteral("MODERATE"));
    p.safeSearch = firstOrAlternative<bool>(r, "safeSearch", "safeSearchEnabled").value_or(true);
    p.adultContentBlock = r.optional<bool>("adultContentBlock").value_or(true);
    const bool pausedNow = r.optional<bool>("pausedNow").value_or(false);
    const bool internetPaused = r.optional<bool>("internetPaused").value_or(false);
    p.pausedNow = pausedNow || internetPaused;
    p.pausedUntil = r.optional<QDateTime>("pausedUntil");
    p.blockedCategories =
        firstOrAlternative<QList<QString>>(r, "blockedCategories", "categoriesBlocked")
            .value_or(QList<QString>());
    p.customRules = r.optional<QList<CustomPolicyRule>>("customRules").value_or(QList<CustomPolicyRule>());
    p.updatedAt = r.optional<QDateTime>("updatedAt");
    p.tamperProtectionEnabled = r.optional<bool>("tamperProtectionEnabled").value_or(true);
    p.dailyScreenTimeMinutes = r.optional<std::int64_t>("dailyScreenTimeMinutes");
    return p;
}
