#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

// Who else has a device open, and why this program may not open it: the POSIX back-end's words for a port
// that is held or refused. Qt-free.
namespace PortAccess {

struct Holder
{
    pid_t pid = 0;
    std::string name; // the command's name, "a program" when it cannot be read
};

// The other processes that have the device open, found by reading the links of their descriptors
// under /proc (read, never followed: a descriptor on a hung network file system must not stall the
// look), in the order of their pids. devicePath is the device's real path ("/dev/ttyUSB0",
// "/dev/pts/3"). Never counted: this process, and for a pseudo-terminal the process that holds its
// master side, such as a bridge (socat) that keeps its own end of the terminal open beside it. Only
// what /proc lets this process see; a look that takes longer than the bound ends with what it found.
std::vector<Holder> otherHolders(const std::string& devicePath,
                                 std::chrono::milliseconds bound = std::chrono::milliseconds(300));
// "socat (pid 1234), minicom (pid 99)"; empty for none.
std::string named(const std::vector<Holder>& holders);
// The name of the process's command, "a program" when it cannot be read.
std::string commandName(pid_t pid);

// What would let the user open a device refused with "Permission denied": joining its group where
// that would help (the group may read and write it and the user is not in it), else who owns it
// and its mode.
std::string permissionAdvice(mode_t mode, const std::string& owner, const std::string& group, bool inGroup);
// The same for the device at path, looked up; empty when it cannot be looked at.
std::string permissionAdvice(const std::string& path);

} // namespace PortAccess
