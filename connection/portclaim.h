// Keeps two connections of this process off one serial port for as long as either uses it. The
// port's own exclusive open keeps out other programs, but a handshake closes and reopens its port
// twice, and another connection of the same process could take the port in between.
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
