#include "portclaim.h"

#include <mutex>
#include <set>

namespace {
std::mutex claimsMutex;
std::set<std::string> claimedDevices;
} // namespace

PortClaim::~PortClaim()
{
    release();
}

// An empty name names no device: there is nothing to claim, and opening it fails on its own.
bool PortClaim::claim(const std::string& device)
{
    release();
    if (device.empty())
        return true;
    const std::lock_guard<std::mutex> lock(claimsMutex);
    if (!claimedDevices.insert(device).second)
        return false;
    held = device;
    return true;
}

void PortClaim::release()
{
    if (held.empty())
        return;
    const std::lock_guard<std::mutex> lock(claimsMutex);
    claimedDevices.erase(held);
    held.clear();
}
