#pragma once

#include "Support/Json.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

/** The body of reportAppUsage(_:): one local day's foreground time per application. */
struct AppUsageReport {
    static constexpr std::string_view typeName = "AppUsageReport";

    /** One application's usage that day. */
    struct Item {
        static constexpr std::string_view typeName = "AppUsageReport.Item";

        QString packageName;
        std::optional<QString> appLabel;
        std::int64_t foregroundSeconds = 0;
        std::optional<QDateTime> lastUsedAt;

        /** Applies the one bound: a present appLabel keeps its first 200 characters. */
        static Item make(QString packageName, const std::optional<QString>& appLabel,
                         std::int64_t foregroundSeconds, std::optional<QDateTime> lastUsedAt);

        static Item fromJson(const Json::Reader& r);
        [[nodiscard]] Json::Value toJson() const;
        bool operator==(const Item&) const = default;
    };

    /** The local calendar day, "yyyy-MM-dd". */
    QString date;
    QList<Item> items;

    static AppUsageReport fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const AppUsageReport&) const = default;
};
