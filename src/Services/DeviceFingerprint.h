#pragma once

#include "Platform/DeviceFacts.h"

#include <QString>

#include <optional>

/** The stable fingerprint a device sends when it pairs. */
namespace DeviceFingerprint {

/**
 * SHA-256 of "<seed>|fprint.local.v3" as 64 lower-case hexadecimal digits. The seed is the
 * hardware UUID, else the host's display name, else "unknown-mac": the same device gives the
 * same fingerprint in every run and in both programs.
 */
QString generate(const DeviceFacts& facts = DeviceFacts::system());

/** The device's hardware UUID text, or nothing. */
std::optional<QString> hardwareUuid(const DeviceFacts& facts = DeviceFacts::system());

} // namespace DeviceFingerprint
