#pragma once

#include <QString>

#include <optional>

/** The running system's version as three numbers. */
struct OsVersion {
    int majorVersion = 0;
    int minorVersion = 0;
    int patchVersion = 0;

    bool operator==(const OsVersion&) const = default;
};

/** What the device says about itself: its hardware identity, its name and its system. */
class DeviceFacts {
public:
    virtual ~DeviceFacts() = default;

    /** The hardware UUID as canonical upper-case text, or nothing when none can be read. */
    [[nodiscard]] virtual std::optional<QString> hardwareUuid() const = 0;

    /** The name the owner gave the device, or nothing. */
    [[nodiscard]] virtual std::optional<QString> hostDisplayName() const = 0;

    [[nodiscard]] virtual OsVersion osVersion() const = 0;

    /** The running system's facts; lives for the whole process. */
    static const DeviceFacts& system();
};
