#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Who else has a device open, and why this program may not open it: the POSIX back-end's words for
// a port that is held or refused. Qt-free.
namespace PortAccess {

// The other processes that have the device (a character device, by its st_rdev) open, as
// "socat (pid 1234)", in the order of their pids. Only what /proc lets this process see: a process
// of another user, without the privileges to look, is missed. This process never counts, whatever
// it holds.
std::vector<std::string> otherHolders(dev_t device);

// The holders for one line of text: both of two named, else the first and how many more
// ("socat (pid 14499) and 4 more"), so that the cure after them is still read. Empty for none.
std::string listHolders(const std::vector<std::string>& holders);

// What would let the user open a device refused with "Permission denied": joining its group where
// that would help (the group may read and write it and the user is not in it), else who owns it
// and its mode.
std::string permissionAdvice(mode_t mode, const std::string& owner, const std::string& group, bool inGroup);
// The same for the device at path, looked up; empty when it cannot be looked at.
std::string permissionAdvice(const std::string& path);

} // namespace PortAccess
