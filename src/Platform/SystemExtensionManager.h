#pragma once

#include "Platform/SystemExtensionRequestDelegate.h"

#include <QString>

#include <memory>

/**
 * The operating system's system-extension requests: activation or deactivation of an
 * extension known by its identifier.
 */
class SystemExtensionManager {
public:
    enum class RequestKind { activation, deactivation };

    virtual ~SystemExtensionManager() = default;

    /**
     * Submits a request; call on the main thread. Reports nothing synchronously and does not
     * block: every outcome, an immediate failure included, reaches the delegate later on the
     * main thread. The manager keeps the delegate alive until the request's last answer.
     */
    virtual void submitRequest(RequestKind kind, const QString& identifier,
                               std::shared_ptr<SystemExtensionRequestDelegate> delegate) = 0;

    /** The platform's manager, created on first use and never destroyed. */
    static SystemExtensionManager& system();
};
