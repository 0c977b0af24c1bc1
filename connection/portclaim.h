// Keeps two connections of this process off one serial port for as long as either uses it, and
// says so in this program's words: the port's own locks would refuse the second one too, but
// naming this very process as the holder.
#pragma once

#include <string>

class PortClaim
{
public:
    PortClaim() = default;
    ~PortClaim(); // lets go of a port still claimed
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    // Claims the device, named as SerialPort::deviceIdentity() names it; false when another claim
    // in this process holds it. A claim held before is let go first. An empty name claims nothing
    // and is never refused.
    bool claim(const std::string& device);
    void release();

private:
    std::string held;
};
