#pragma once

#include <chrono>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// Who else has a device open, whether a path names a terminal at all, and why this program may not
// open it: the POSIX back-end's words for a port
// that is held or refused. Qt-free.
namespace PortAccess {

struct Holder
{
    pid_t pid = 0;
    std::string name; // the command's name, "a program" when it cannot be read
};

// The other processes that have the device open, in the order of their pids. devicePath is the
// device's real path ("/dev/ttyUSB0", "/dev/pts/3"), device what stat() says of it. Only descriptors
// whose /proc link names that path are looked at further (links are read, never followed, for any
// other file: a descriptor on a hung network file system must not stall the look); such a one counts
// when it is the same device: the same device number, and for a pseudo-terminal's slave also the
// same devpts instance, since a container's own /dev/pts/0 is another terminal by the same name.
// Never counted: this process, and for a pseudo-terminal the process that holds its master side in
// the same instance, such as a bridge (socat) that keeps its own end of the terminal open beside it.
// Only what /proc lets this process see; a look that takes longer than the bound ends with what it
// found, and sets lookedAtEvery (when given) to false.
std::vector<Holder> otherHolders(const std::string& devicePath, const struct stat& device,
                                 std::chrono::milliseconds bound = std::chrono::milliseconds(300),
                                 bool* lookedAtEvery = nullptr);
// "socat (pid 1234) and minicom (pid 99)", or "socat (pid 1234) and 4 more"; empty for none.
std::string named(const std::vector<Holder>& holders);
// The name of the process's command, "a program" when it cannot be read.
std::string commandName(pid_t pid);

// Empty when a file of this mode and device number (stat()'s st_mode and st_rdev) is a terminal that
// the system lists as one: a character device whose /sys/dev/char/MAJOR:MINOR/subsystem is tty, or
// the slave side of a pseudo-terminal, which /sys does not list (its major is the one /proc/devices
// names "pts"). Otherwise why it is no serial port. The master side of pseudo-terminals (/dev/ptmx)
// is refused too: it is the far end of a terminal, never a line to a device, and so are the system's
// console and the virtual consoles (/dev/console, /dev/tty0 to /dev/tty63). Where sysfs cannot be
// read (a container or chroot without it), every other character device passes, and the caller
// checks that what it opened is a terminal.
std::string terminalRefusal(mode_t mode, dev_t device, const std::string& sysfs = "/sys");

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
