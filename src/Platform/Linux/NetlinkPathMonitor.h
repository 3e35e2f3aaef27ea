#pragma once

#include "Platform/Linux/NetworkInterfaceClassifier.h"
#include "Platform/NetworkPathMonitor.h"

#include <QObject>

#include <memory>
#include <optional>

class QSocketNotifier;

/**
 * The default network path from rtnetlink. Link and route notifications wake it; after each
 * burst of them it reads the routing table again, takes the best default route of the main
 * table (IPv4 or IPv6) and classifies its output interface. No default route: not satisfied.
 * When the routing table cannot be read, the path is satisfied with no known interface type.
 */
class NetlinkPathMonitor final : public NetworkPathMonitor {
public:
    explicit NetlinkPathMonitor(
        NetworkInterfaceClassifier classifier = NetworkInterfaceClassifier());
    ~NetlinkPathMonitor() override;
    NetlinkPathMonitor(const NetlinkPathMonitor&) = delete;
    NetlinkPathMonitor& operator=(const NetlinkPathMonitor&) = delete;

    void start(Handler handler) override;
    void cancel() override;

    /** The path as the routing table has it now; blocks only for one netlink dump. */
    [[nodiscard]] NetworkPath readPath() const;

private:
    void drainNotifications();
    void deliverCurrentPath();

    NetworkInterfaceClassifier m_classifier;
    Handler m_handler;
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QObject> m_context; // scope of queued work; gone after cancel()
    std::optional<NetworkPath> m_delivered;
    mutable bool m_reportedDumpFailure = false;
};
