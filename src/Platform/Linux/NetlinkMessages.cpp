#include "Platform/Linux/NetlinkMessages.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>

namespace NetlinkMessages {
namespace {

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
    // RTNH_OK reads rtnh_len before it compares lengths: a whole header must be there first.
    while (remaining >= static_cast<int>(sizeof(rtnexthop)) && RTNH_OK(nexthop, remaining)) {
        if (!(nexthop->rtnh_flags & unusableNexthop) && nexthop->rtnh_ifindex > 0)
            return nexthop->rtnh_ifindex;
        remaining -= static_cast<int>(RTNH_ALIGN(nexthop->rtnh_len));
        nexthop = RTNH_NEXT(nexthop);
    }
    return 0;
}


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

} // namespace

DumpStep readRouteDump(const void* buffer, int length, std::uint32_t sequence,
                       std::optional<DefaultRoute>& best)
{
    for (auto* h = static_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
        if (h->nlmsg_seq != sequence)
            continue;
        if (h->nlmsg_type == NLMSG_DONE)
            return {DumpStep::Status::done, 0};
        if (h->nlmsg_type == NLMSG_ERROR) {
            // The kernel sends a negative errno or 0; anything else (a positive value, INT_MIN,
            // which has no positive counterpart) is a malformed message: EIO.
            int error = EIO;
            if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                const int sent = static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
                if (sent <= 0 && sent != std::numeric_limits<int>::min())
                    error = -sent;
            }
            return {DumpStep::Status::failed, error};
        }
        const auto route = defaultRouteOf(h);
        if (route && (!best || std::tie(route->priority, route->familyRank) <
                                   std::tie(best->priority, best->familyRank)))
            best = route;
    }
    return {};
}

bool mayChangePath(const void* buffer, int length)
{
    for (auto* h = static_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
        if (mayChangePath(h))
            return true;
    }
    return false;
}

} // namespace NetlinkMessages
