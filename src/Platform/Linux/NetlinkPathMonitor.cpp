#include "Platform/Linux/NetlinkPathMonitor.h"

#include "Platform/Linux/NetlinkMessages.h"
#include "Platform/Log.h"

#include <QSocketNotifier>
#include <QTimer>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t dumpSequence = 1;

class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    [[nodiscard]] int fd() const { return m_fd; }

private:
    int m_fd;
};

struct RouteDump {
    int error = 0;            // an errno value when the dump failed
    int defaultInterface = 0; // 0: no default route
};

RouteDump failedDump(int error)
{
    return {error != 0 ? error : EIO, 0};
}

RouteDump dumpRoutes()
{
    const Socket socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (socket.fd() < 0)
        return failedDump(errno);
    // The kernel answers at once; the limit only keeps a wedged socket from hanging the loop.
    const timeval timeout{5, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    struct {
        nlmsghdr header;
        rtmsg message;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = dumpSequence;
    request.message.rtm_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.fd(), &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0)
        return failedDump(errno);

    std::optional<NetlinkMessages::DefaultRoute> best;
    std::vector<std::uint32_t> buffer(64 * 1024 / sizeof(std::uint32_t)); // aligned for nlmsghdr
    const auto capacity = static_cast<ssize_t>(buffer.size() * sizeof(std::uint32_t));
    for (;;) {
        const ssize_t received = ::recv(socket.fd(), buffer.data(), capacity, MSG_TRUNC);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0)
            return failedDump(errno);
        if (received == 0 || received > capacity)
            return failedDump(EMSGSIZE);
        const auto step = NetlinkMessages::readRouteDump(buffer.data(), static_cast<int>(received),
                                                         dumpSequence, best);
        if (step.status == NetlinkMessages::DumpStep::Status::done)
            return {0, best ? best->interfaceIndex : 0};
        if (step.status == NetlinkMessages::DumpStep::Status::failed)
            return failedDump(step.error);
    }
}

NetworkPath pathOfKind(NetworkInterfaceClassifier::Kind kind)
{
    NetworkPath path;
    path.satisfied = true;
    path.usesWifi = kind == NetworkInterfaceClassifier::Kind::wifi;
    path.usesWiredEthernet = kind == NetworkInterfaceClassifier::Kind::wiredEthernet;
    path.usesCellular = kind == NetworkInterfaceClassifier::Kind::cellular;
    return path;
}

} // namespace

std::unique_ptr<NetworkPathMonitor> NetworkPathMonitor::create()
{
    return std::make_unique<NetlinkPathMonitor>();
}

NetlinkPathMonitor::NetlinkPathMonitor(NetworkInterfaceClassifier classifier)
    : m_classifier(std::move(classifier))
{
}

NetlinkPathMonitor::~NetlinkPathMonitor()
{
    cancel();
}

void NetlinkPathMonitor::start(Handler handler)
{
    cancel();
    m_handler = std::move(handler);
    m_context = std::make_unique<QObject>();

    // Subscribe before the first read, so that no change after that read goes unseen.
    m_socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (m_socket >= 0 &&
        ::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) {
        m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_context.get(),
                         [this] { drainNotifications(); });
    } else {
        Log::plain(QStringLiteral("Network path: cannot watch route changes (%1); the path is "
                                  "read once")
                       .arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
    }
    QTimer::singleShot(0, m_context.get(), [this] { deliverCurrentPath(); });
}

void NetlinkPathMonitor::cancel()
{
    m_notifier.reset();
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    m_context.reset();
    m_handler = nullptr;
    m_delivered.reset();
}

NetworkPath NetlinkPathMonitor::readPath() const
{
    const RouteDump dump = dumpRoutes();
    if (dump.error != 0) {
        if (!std::exchange(m_reportedDumpFailure, true))
            Log::plain(QStringLiteral("Network path: cannot read the routing table (%1)")
                           .arg(QString::fromLocal8Bit(std::strerror(dump.error))));
        return pathOfKind(NetworkInterfaceClassifier::Kind::other);
    }
    if (dump.defaultInterface == 0)
        return {};
    char name[IF_NAMESIZE] = {};
    if (!::if_indextoname(static_cast<unsigned>(dump.defaultInterface), name))
        return pathOfKind(NetworkInterfaceClassifier::Kind::other);
    return pathOfKind(m_classifier.classify(QString::fromLocal8Bit(name)));
}

void NetlinkPathMonitor::drainNotifications()
{
    // A route change arrives as several messages; read them all, then look once.
    bool relevant = false;
    std::vector<std::uint32_t> buffer(16 * 1024 / sizeof(std::uint32_t));
    const auto capacity = static_cast<ssize_t>(buffer.size() * sizeof(std::uint32_t));
    for (;;) {
        const ssize_t received = ::recv(m_socket, buffer.data(), capacity, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) { // notifications were lost: look again in any case
                relevant = true;
                continue;
            }
            break;
        }
        if (received == 0)
            break;
        if (NetlinkMessages::mayChangePath(buffer.data(),
                                           static_cast<int>(std::min(received, capacity))))
            relevant = true;
    }
    if (relevant)
        deliverCurrentPath();
}

void NetlinkPathMonitor::deliverCurrentPath()
{
    const NetworkPath path = readPath();
    if (m_delivered == path)
        return;
    m_delivered = path;
    // The handler may cancel or destroy this monitor; touch nothing of it afterwards.
    const Handler handler = m_handler;
    if (handler)
        handler(path);
}
