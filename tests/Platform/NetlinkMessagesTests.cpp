#include "Platform/Linux/NetlinkMessages.h"

#include <linux/netlink.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// An NLMSG_ERROR answer to the dump with sequence 1, carrying `sent` as its error field.
NetlinkMessages::DumpStep errorAnswer(int sent)
{
    struct alignas(nlmsghdr) {
        nlmsghdr header;
        nlmsgerr error;
    } message;
    std::memset(&message, 0, sizeof message);
    message.header.nlmsg_len = NLMSG_LENGTH(sizeof(nlmsgerr));
    message.header.nlmsg_type = NLMSG_ERROR;
    message.header.nlmsg_seq = 1;
    message.error.error = sent;
    std::optional<NetlinkMessages::DefaultRoute> best;
    return NetlinkMessages::readRouteDump(&message, static_cast<int>(message.header.nlmsg_len), 1,
                                          best);
}

TEST(NetlinkMessages, DumpErrorGivesAnErrnoValue)
{
    const struct {
        int sent;
        int expected;
    } cases[] = {
        {-ENOBUFS, ENOBUFS},
        {0, 0},
        // Malformed: a positive value (found by fuzzing), and one that cannot be negated.
        {0x6ffff, EIO},
        {INT_MIN, EIO},
    };
    for (const auto& c : cases) {
        const auto step = errorAnswer(c.sent);
        EXPECT_EQ(step.status, NetlinkMessages::DumpStep::Status::failed) << c.sent;
        EXPECT_EQ(step.error, c.expected) << c.sent;
    }
}

} // namespace
