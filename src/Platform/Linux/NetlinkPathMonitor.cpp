#include "Platform/Linux/NetlinkPathMonitor.h"

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
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t dumpSequence = 1;

std::uint32_t readU32(const rtattr* attribute)
{
    std::uint32_t value = 0;
    if (RTA_PAYLOAD(attribute) >= sizeof value)
        std::memcpy(&value, RTA_DATA(attribute), sizeof value);
    return value;
}

/** The table of a route message: RTA_TABLE when present (tables above 255), else rtm_table. */
std::uint32_t routeTable(const nlmsghdr* header)
{
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
    std::uint32_t table = route->rtm_table;
    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (auto* a = RTM_RTA(route); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        if (a->rta_type == RTA_TABLE)
            table = readU32(a);
    }
    return table;
}

bool isRouteMessage(const nlmsghdr* header)
{
    return (header->nlmsg_type == RTM_NEWROUTE || header->nlmsg_type == RTM_DELROUTE) &&
           header->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg));
}

/** A notification that can change the default path: any link change, or a default route. */
bool mayChangePath(const nlmsghdr* header)
{
    if (header->nlmsg_type == RTM_NEWLINK || header->nlmsg_type == RTM_DELLINK)
        return true;
    if (!isRouteMessage(header))
        return false;
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
    return route->rtm_dst_len == 0 && routeTable(header) == RT_TABLE_MAIN;
}

constexpr unsigned unusableNexthop = RTNH_F_DEAD | RTNH_F_LINKDOWN;

int firstUsableNexthop(const rtattr* multipath)
{
    auto* nexthop = static_cast<const rtnexthop*>(RTA_DATA(multipath));
    int remaining = static_cast<int>(RTA_PAYLOAD(multipath));
    while (RTNH_OK(nexthop, remaining)) {
        if (!(nexthop->rtnh_flags & unusableNexthop) && nexthop->rtnh_ifindex > 0)
            return nexthop->rtnh_ifindex;
        remaining -= static_cast<int>(RTNH_ALIGN(nexthop->rtnh_len));
        nexthop = RTNH_NEXT(nexthop);
    }
    return 0;
}

struct DefaultRoute {
    std::uint32_t priority = 0;
    int familyRank = 0; // IPv4 wins a tie
    int interfaceIndex = 0;
};

/** The default route a message describes, if it is a usable unicast one of the main table. */
std::optional<DefaultRoute> defaultRouteOf(const nlmsghdr* header)
{
    if (!isRouteMessage(header))
        return std::nullopt;
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
    if ((route->rtm_family != AF_INET && route->rtm_family != AF_INET6) ||
        route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST ||
        (route->rtm_flags & unusableNexthop))
        return std::nullopt;

    DefaultRoute result;
    result.familyRank = route->rtm_family == AF_INET ? 0 : 1;
    std::uint32_t table = route->rtm_table;
    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (auto* a = RTM_RTA(route); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        switch (a->rta_type) {
        case RTA_TABLE:
            table = readU32(a);
            break;
        case RTA_OIF:
            result.interfaceIndex = static_cast<int>(readU32(a));
            break;
        case RTA_PRIORITY:
            result.priority = readU32(a);
            break;
        case RTA_MULTIPATH:
            if (result.interfaceIndex <= 0)
                result.interfaceIndex = firstUsableNexthop(a);
            break;
        default:
            break;
        }
    }
    if (table != RT_TABLE_MAIN || result.interfaceIndex <= 0)
        return std::nullopt;
    return result;
}

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

    std::optional<DefaultRoute> best;
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
        int length = static_cast<int>(received);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(h, length);
             h = NLMSG_NEXT(h, length)) {
            if (h->nlmsg_seq != dumpSequence)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return {0, best ? best->interfaceIndex : 0};
            if (h->nlmsg_type == NLMSG_ERROR) {
                int error = EIO;
                if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)))
                    error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
                return failedDump(error);
            }
            const auto route = defaultRouteOf(h);
            if (route && (!best || std::tie(route->priority, route->familyRank) <
                                       std::tie(best->priority, best->familyRank)))
                best = route;
        }
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
        int length = static_cast<int>(std::min(received, capacity));
        for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(h, length);
             h = NLMSG_NEXT(h, length)) {
            if (mayChangePath(h))
                relevant = true;
        }
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
