#pragma once

#include "Models/AppUsageReport.h"
#include "Models/EnrollRequest.h"
#include "Models/HeartbeatRequest.h"
#include "Support/Json.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QUuid>

#include <memory>
#include <optional>
#include <vector>

/**
 * The service's memory: the current pairing code, one family with one child, and the devices
 * paired to it with their tokens and latest reports. Every pairing makes a new device.
 */
class DeviceRegistry {
public:
    struct Device {
        QUuid id;
        QUuid childId;
        EnrollRequest enrollment;
        QDateTime enrolledAt;
        std::optional<QDateTime> lastSeenAt;
        bool revoked = false;
        bool renewalPending = false;
        std::optional<HeartbeatRequest> latestHeartbeat;
        std::optional<QDateTime> latestHeartbeatAt;
        std::optional<AppUsageReport> latestUsageReport;
        std::int64_t eventsAccepted = 0;
    };

    /** Mints the first pairing code and the family's identifiers. */
    DeviceRegistry();

    [[nodiscard]] const QString& pairingCode() const { return m_pairingCode; }
    /** A new six-digit code, different from the one it replaces. */
    const QString& mintPairingCode();

    [[nodiscard]] QUuid childId() const { return m_childId; }
    [[nodiscard]] QUuid tenantId() const { return m_tenantId; }

    struct Enrollment {
        Device* device;
        QString token;
    };
    /** A new device and its token, or nothing when the code is not the current one. */
    std::optional<Enrollment> enroll(const EnrollRequest& request, const QDateTime& now);

    /** The device whose current token this is, revoked or not; nullptr for any other text. */
    [[nodiscard]] Device* deviceWithToken(const QString& token) const;
    [[nodiscard]] Device* device(const QUuid& id) const;

    /** When a renewal is pending: the device's new token, which replaces the old one now. */
    std::optional<QString> takeRenewal(Device& device);

    /** Every device in pairing order, without tokens. */
    [[nodiscard]] Json::Value devicesJson() const;

private:
    QString m_pairingCode;
    QUuid m_childId;
    QUuid m_tenantId;
    std::vector<std::unique_ptr<Device>> m_devices;
    QHash<QString, Device*> m_byToken;
};
