#pragma once

#include "Support/Json.h"

#include <QString>
#include <QUuid>

#include <optional>
#include <string_view>

/** The answer to enroll(_:): the device token and the identifiers of the pairing. */
struct EnrollResponse {
    static constexpr std::string_view typeName = "EnrollResponse";

    QString deviceToken;
    QUuid deviceId;
    QUuid childId;
    std::optional<QString> childName;
    QUuid tenantId;
    std::optional<QString> dohHostname;

    static EnrollResponse fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const EnrollResponse&) const = default;
};
