// Finds the serial ports present on this machine, for the stand-in IO library's device list.
// Works on given /dev and /sys roots so that it can be pointed at a prepared tree.
#pragma once

#include <string>
#include <vector>

class SerialPortLister
{
public:
    SerialPortLister(std::string devRoot, std::string sysRoot);

    // Device paths, one per device: the stable name under <dev>/serial/by-id where there is one
    // (the smallest if several name the same device), else <dev>/ttyUSB<n>, ttyACM<n>, or a
    // ttyS<n> whose <sys>/class/tty/ttyS<n>/type is nonzero (a UART that is really there). No
    // path contains ':', since a locator is split at ':'. By-id names first, each group in
    // natural order (ttyUSB2 before ttyUSB10).
    std::vector<std::string> ports() const;

    // Orders texts with digit runs compared by value.
    static bool naturalLess(const std::string& a, const std::string& b);

private:
    std::string devRoot;
    std::string sysRoot;
};
