#pragma once

#include "Platform/DeviceFacts.h"

/**
 * Device facts on Linux. Hardware UUID: the firmware's DMI product UUID (readable by root
 * only), else the machine id. Name: PRETTY_HOSTNAME of machine-info, else the host name.
 * System: the kernel release's three numbers. Files are read below rootDirectory, so that a
 * test can lay out its own.
 */
class LinuxDeviceFacts final : public DeviceFacts {
public:
    explicit LinuxDeviceFacts(QString rootDirectory = QStringLiteral("/"));

    [[nodiscard]] std::optional<QString> hardwareUuid() const override;
    [[nodiscard]] std::optional<QString> hostDisplayName() const override;
    [[nodiscard]] OsVersion osVersion() const override;

    /** The leading "a.b.c" of a kernel release ("6.1.0-18-amd64"); missing numbers are 0. */
    static OsVersion parseKernelRelease(const QString& release);

    /** The value of PRETTY_HOSTNAME in machine-info text, unquoted; nothing when unset or empty. */
    static std::optional<QString> parsePrettyHostname(const QString& machineInfo);

private:
    [[nodiscard]] std::optional<QString> readSmallFile(const QString& relativePath) const;

    QString m_root;
};
