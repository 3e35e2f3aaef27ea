#include "Services/DeviceFingerprint.h"

#include <QCryptographicHash>

namespace DeviceFingerprint {

QString generate(const DeviceFacts& facts)
{
    const QString seed = hardwareUuid(facts).value_or(
        facts.hostDisplayName().value_or(QStringLiteral("unknown-mac")));
    const QByteArray input = (seed + QStringLiteral("|fprint.local.v3")).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex());
}

std::optional<QString> hardwareUuid(const DeviceFacts& facts)
{
    return facts.hardwareUuid();
}

} // namespace DeviceFingerprint
