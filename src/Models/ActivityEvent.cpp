#include "Models/ActivityEvent.h"

#include <utility>

ActivityEvent ActivityEvent::make(QString type, QUuid childId, QDateTime occurredAt,
                                  QMap<QString, QString> payload)
{
    return {std::move(type), std::move(occurredAt), childId, std::move(payload)};
}

ActivityEvent ActivityEvent::fromJson(const Json::Reader& r)
{
    return {r.required<QString>("type"), r.required<QDateTime>("occurredAt"),
            r.required<QUuid>("childId"), r.required<QMap<QString, QString>>("payload")};
}

Json::Value ActivityEvent::toJson() const
{
    return Json::Writer()
        .put("type", type)
        .put("occurredAt", occurredAt)
        .put("childId", childId)
        .put("payload", payload)
        .take();
}
