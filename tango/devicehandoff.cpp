#include "devicehandoff.h"

#include <mutex>

namespace {

std::mutex mutex;

// Never destroyed: a worker left behind at the server's end still runs when the process exits.
std::map<std::string, DeviceHandoff>& handoffs()
{
    static auto* const kept = new std::map<std::string, DeviceHandoff>;
    return *kept;
}

} // namespace

void DeviceHandoff::leave(const std::string& device, DeviceHandoff handoff)
{
    const std::lock_guard<std::mutex> lock(mutex);
    handoffs()[device] = std::move(handoff);
}

std::optional<DeviceHandoff> DeviceHandoff::take(const std::string& device)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = handoffs().find(device);
    if (found == handoffs().end())
        return std::nullopt;
    DeviceHandoff handoff = std::move(found->second);
    handoffs().erase(found);
    return handoff;
}
