#pragma once

#include <functional>
#include <memory>

/** What the machine's current default network path offers. */
struct NetworkPath {
    bool satisfied = false;
    bool usesWifi = false;
    bool usesWiredEthernet = false;
    bool usesCellular = false;

    bool operator==(const NetworkPath&) const = default;
};

/**
 * Watches the machine's default network path. Every update goes to the handler on the thread
 * that called start(), through that thread's event loop; start, cancel and destroy the monitor
 * on that same thread.
 */
class NetworkPathMonitor {
public:
    using Handler = std::function<void(const NetworkPath&)>;

    virtual ~NetworkPathMonitor() = default;

    /**
     * Delivers the current path once, soon after (never from within this call), then the new
     * path whenever it changes, until cancel(). Starting again replaces the handler.
     */
    virtual void start(Handler handler) = 0;

    /** No update is delivered after this returns. Idempotent. */
    virtual void cancel() = 0;

    /** The platform's monitor, not yet started. */
    static std::unique_ptr<NetworkPathMonitor> create();
};
