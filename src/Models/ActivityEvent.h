#pragma once

#include "Support/Json.h"

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QUuid>

#include <string_view>

/** One thing that happened on the device. All four keys are required in JSON. */
struct ActivityEvent {
    static constexpr std::string_view typeName = "ActivityEvent";

    QString type;
    QDateTime occurredAt;
    QUuid childId;
    QMap<QString, QString> payload;

    /** Built from type, childId, occurredAt and payload, in that order; no checks. */
    static ActivityEvent make(QString type, QUuid childId, QDateTime occurredAt,
                              QMap<QString, QString> payload = {});

    static ActivityEvent fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const ActivityEvent&) const = default;
};
