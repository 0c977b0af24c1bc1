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

bool PortClaim::claim(const std::string& device)
{
    release();
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
