#pragma once

#include "Platform/DeviceFacts.h"

/** Device facts as a test sets them. */
struct FixedDeviceFacts final : DeviceFacts {
    std::optional<QString> uuid;
    std::optional<QString> hostName;
    OsVersion version;

    FixedDeviceFacts(std::optional<QString> uuid, std::optional<QString> hostName,
                     OsVersion version)
        : uuid(std::move(uuid)), hostName(std::move(hostName)), version(version)
    {
    }

    std::optional<QString> hardwareUuid() const override { return uuid; }
    std::optional<QString> hostDisplayName() const override { return hostName; }
    OsVersion osVersion() const override { return version; }
};
