#pragma once

#include "Support/Json.h"

#include <QMap>
#include <QString>

#include <optional>
#include <string_view>

/** The body of reportTamper(eventType:details:); written only. */
struct TamperReport {
    static constexpr std::string_view typeName = "TamperReport";

    QString eventType;
    std::optional<QMap<QString, QString>> details;

    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const TamperReport&) const = default;
};
