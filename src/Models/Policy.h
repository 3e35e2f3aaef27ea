#pragma once

#include "Models/CustomPolicyRule.h"
#include "Support/Json.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>
#include <string_view>

/**
 * The parent's filtering policy. Read from JSON only, tolerantly (alternative keys and
 * defaults, Part 1.4); never encoded. Built directly from all eleven values in field order.
 */
struct Policy {
    static constexpr std::string_view typeName = "Policy";

    QUuid childId;
    QString filterLevel = QStringLiteral("MODERATE");
    bool safeSearch = true;
    bool adultContentBlock = true;
    bool pausedNow = false;
    std::optional<QDateTime> pausedUntil;
    QList<QString> blockedCategories;
    QList<CustomPolicyRule> customRules;
    std::optional<QDateTime> updatedAt;
    bool tamperProtectionEnabled = true;
    std::optional<std::int64_t> dailyScreenTimeMinutes;

    static Policy fromJson(const Json::Reader& r);
    bool operator==(const Policy&) const = default;
};
