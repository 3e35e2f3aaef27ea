#pragma once

#include "Support/Json.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <optional>
#include <string_view>

/** The service's description of a paired device. No operation sends or receives it. */
struct Device {
    static constexpr std::string_view typeName = "Device";

    QUuid id;
    QUuid childId;
    QUuid tenantId;
    QString platform;
    std::optional<QString> name;
    std::optional<QString> model;
    std::optional<QString> osVersion;
    QDateTime enrolledAt;
    std::optional<QDateTime> lastSeenAt;

    static Device fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const Device&) const = default;
};
