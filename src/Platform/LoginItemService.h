#pragma once

#include <QString>

#include <memory>
#include <optional>

/**
 * The registration of a helper program that the system starts at login. Main thread.
 */
class LoginItemService {
public:
    /** The platform's four statuses; a future platform may report others. */
    enum Status : int {
        notRegistered = 0,
        enabled = 1,
        /** Registered, but the user must allow it (on Linux: the user has disabled it). */
        requiresApproval = 2,
        /** The helper program is not where the registration expects it. */
        notFound = 3,
    };

    virtual ~LoginItemService() = default;

    [[nodiscard]] virtual int status() const = 0;

    /** Registers the helper to start at login. Returns nothing on success, else why it failed. */
    [[nodiscard]] virtual std::optional<QString> registerItem() = 0;

    /** The login item of the helper bundle with this identifier, inside the running program's. */
    static std::unique_ptr<LoginItemService> loginItem(const QString& identifier);
};
