// rtnetlink messages as a datagram of a route dump or of notifications carries them.
#include "FuzzSupport.h"

#include "Platform/Linux/NetlinkMessages.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The monitor reads into 4-byte aligned buffers of at most 64 KiB.
    if (size > 64 * 1024)
        return 0;
    std::vector<std::uint32_t> buffer((size + 3) / 4);
    if (size > 0)
        std::memcpy(buffer.data(), data, size);
    const int length = static_cast<int>(size);

    std::optional<NetlinkMessages::DefaultRoute> best;
    const auto step = NetlinkMessages::readRouteDump(buffer.data(), length, 1, best);
    if (best)
        Fuzz::check(best->interfaceIndex > 0, "a default route without an interface");
    if (step.status == NetlinkMessages::DumpStep::Status::failed)
        Fuzz::check(step.error >= 0, "a failed dump with a negative errno");
    (void)NetlinkMessages::mayChangePath(buffer.data(), length);
    return 0;
}
