#pragma once

#include <cstdint>
#include <optional>

/**
 * Reading rtnetlink messages as the kernel hands them over: pure functions of the received
 * bytes. buffer must be aligned for nlmsghdr (4 bytes) and hold length bytes.
 */
namespace NetlinkMessages {

/** A usable unicast default route of the main table. */
struct DefaultRoute {
    std::uint32_t priority = 0;
    int familyRank = 0; // IPv4 wins a tie
    int interfaceIndex = 0;
};

/** Where a route dump stands after one received buffer. */
struct DumpStep {
    enum class Status { more, done, failed };
    Status status = Status::more;
    int error = 0; // an errno value (0 when the kernel gave none) when failed
};

/**
 * Reads one buffer of the answer to the dump request with this sequence number, keeping the
 * best default route seen so far in best (lowest priority, then IPv4).
 */
DumpStep readRouteDump(const void* buffer, int length, std::uint32_t sequence,
                       std::optional<DefaultRoute>& best);

/** Some notification in the buffer can change the default path (a link, a default route). */
bool mayChangePath(const void* buffer, int length);

} // namespace NetlinkMessages
