#include "DeviceRegistry.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace {

QString newToken()
{
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words.data()), sizeof words)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

DeviceRegistry::DeviceRegistry() : m_childId(QUuid::createUuid()), m_tenantId(QUuid::createUuid())
{
    mintPairingCode();
}

const QString& DeviceRegistry::mintPairingCode()
{
    QString code;
    do {
        code = QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10,
                                        QLatin1Char('0'));
    } while (code == m_pairingCode);
    m_pairingCode = code;
    return m_pairingCode;
}

std::optional<DeviceRegistry::Enrollment> DeviceRegistry::enroll(const EnrollRequest& request,
                                                                 const QDateTime& now)
{
    if (request.pairingCode != m_pairingCode)
        return std::nullopt;
    auto device = std::make_unique<Device>();
    device->id = QUuid::createUuid();
    device->childId = m_childId;
    device->enrollment = request;
    device->enrolledAt = now;
    const QString token = newToken();
    m_byToken.insert(token, device.get());
    m_devices.push_back(std::move(device));
    return Enrollment{m_devices.back().get(), token};
}

DeviceRegistry::Device* DeviceRegistry::deviceWithToken(const QString& token) const
{
    return m_byToken.value(token, nullptr);
}

DeviceRegistry::Device* DeviceRegistry::device(const QUuid& id) const
{
    const auto found = std::find_if(m_devices.begin(), m_devices.end(),
                                    [&](const auto& device) { return device->id == id; });
    return found == m_devices.end() ? nullptr : found->get();
}

std::optional<QString> DeviceRegistry::takeRenewal(Device& device)
{
    if (!device.renewalPending)
        return std::nullopt;
    device.renewalPending = false;
    m_byToken.removeIf([&](const auto& entry) { return entry.value() == &device; });
    const QString token = newToken();
    m_byToken.insert(token, &device);
    return token;
}

Json::Value DeviceRegistry::devicesJson() const
{
    Json::Value list = Json::Value::array();
    for (const auto& d : m_devices) {
        Json::Writer w;
        w.put("deviceId", d->id)
            .put("childId", d->childId)
            .put("model", d->enrollment.model)
            .put("osVersion", d->enrollment.osVersion)
            .put("appVersion", d->enrollment.appVersion)
            .put("platform", d->enrollment.platform)
            .put("enrolledAt", d->enrolledAt)
            .put("lastSeenAt", d->lastSeenAt)
            .put("revoked", d->revoked)
            .put("renewalPending", d->renewalPending)
            .put("eventsAccepted", d->eventsAccepted);
        Json::Value device = w.take();
        if (d->latestHeartbeat) {
            Json::Value heartbeat = d->latestHeartbeat->toJson();
            heartbeat["receivedAt"] = Json::Codec<QDateTime>::write(*d->latestHeartbeatAt);
            device["latestHeartbeat"] = std::move(heartbeat);
        }
        if (d->latestUsageReport)
            device["latestUsageReport"] = d->latestUsageReport->toJson();
        list.push_back(std::move(device));
    }
    return list;
}
