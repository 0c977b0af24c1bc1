#include "portaccess.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Directory = std::unique_ptr<DIR, int (*)(DIR*)>;

Directory openDirectory(const std::string& path)
{
    return Directory(::opendir(path.c_str()), &::closedir);
}

// A decimal number that is the whole text, or -1.
long wholeNumber(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < 0)
        return -1;
    return number;
}

// A /proc entry's process id, or 0 when the entry is no process.
pid_t processId(const char* name)
{
    const long number = wholeNumber(name);
    return number > 0 && number <= INT_MAX ? static_cast<pid_t>(number) : 0;
}

// Where a /proc link points, as the kernel names it; empty when it cannot be read. readlink reads the
// name alone and never reaches the file behind it.
std::string linkText(const std::string& link)
{
    char text[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), text, sizeof text);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text)
        return std::string();
    return std::string(text, static_cast<std::size_t>(length));
}

// The number of a pseudo-terminal's slave ("/dev/pts/3" is 3), or -1 for any other device.
long pseudoTerminalIndex(const std::string& devicePath)
{
    const std::string prefix = "/dev/pts/";
    if (devicePath.compare(0, prefix.size(), prefix) != 0)
        return -1;
    return wholeNumber(devicePath.c_str() + prefix.size());
}

// What a descriptor's fdinfo says of it: the pseudo-terminal whose master it holds ("tty-index:",
// -1 when it is no master or the kernel does not say) and the mount it was opened through ("mnt_id:").
struct DescriptorInfo
{
    long ttyIndex = -1;
    long mountId = -1;
};

DescriptorInfo descriptorInfo(const std::string& process, const char* descriptor)
{
    std::ifstream info(process + "/fdinfo/" + descriptor);
    DescriptorInfo found;
    std::string line;
    while (std::getline(info, line)) {
        for (auto [key, value] :
             {std::make_pair("tty-index:", &found.ttyIndex), std::make_pair("mnt_id:", &found.mountId)}) {
            const std::size_t length = std::strlen(key);
            if (line.compare(0, length, key) == 0)
                *value = std::strtol(line.c_str() + length, nullptr, 10);
        }
    }
    return found;
}

// The devpts instance (as stat()'s st_dev) whose pseudo-terminal a master descriptor holds, read
// from the process's mountinfo alone: the mount it was opened through when that is a devpts
// (/dev/pts/ptmx, or a /dev/ptmx bound onto it), else the devpts on the process's /dev/pts, where
// the kernel takes the pseudo-terminal of the plain /dev/ptmx node from. 0 when it cannot be told.
dev_t masterInstance(const std::string& process, long mountId)
{
    std::ifstream mounts(process + "/mountinfo");
    std::string line;
    dev_t onDevPts = 0;
    while (std::getline(mounts, line)) {
        long id = -1;
        unsigned int devMajor = 0;
        unsigned int devMinor = 0;
        char mountPoint[256] = {};
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos ||
            std::sscanf(line.c_str(), "%ld %*d %u:%u %*s %255s", &id, &devMajor, &devMinor, mountPoint) !=
                4 ||
            line.compare(separator + 3, 7, "devpts ") != 0)
            continue;
        const dev_t instance = makedev(devMajor, devMinor);
        if (id == mountId)
            return instance;
        if (std::strcmp(mountPoint, "/dev/pts") == 0)
            onDevPts = instance; // the last one mounted there is the one in sight
    }
    return onDevPts;
}

enum class Hold
{
    None,
    Device,
    Master // holds the device and the master side of the pseudo-terminal as well
};

// What the look compares a descriptor with: the device's real path, its numbers, and for the slave
// side of a pseudo-terminal its number and the devpts instance it lives in.
struct Wanted
{
    const std::string& path;
    const struct stat& device;
    bool pseudoTerminal;
    long ptyIndex;
};

// Whether the file behind a descriptor is the very device. Only a descriptor whose link names the
// device's path is looked at this way: a /dev path is no network file system, so stat() on it cannot
// hang. The numbers decide, not the name: a process in another mount namespace may name a different
// device by the same path (a container's own devpts instance has its own /dev/pts/0), and pty slaves
// of different devpts instances share their major:minor, so for them the instance must match too.
bool isTheDevice(const std::string& link, const Wanted& wanted)
{
    struct stat status;
    return ::stat(link.c_str(), &status) == 0 && S_ISCHR(status.st_mode) &&
           status.st_rdev == wanted.device.st_rdev &&
           (!wanted.pseudoTerminal || status.st_dev == wanted.device.st_dev);
}

Hold holdOf(const std::string& process, const Wanted& wanted)
{
    const Directory descriptors = openDirectory(process + "/fd");
    if (!descriptors)
        return Hold::None; // gone, or not ours to look at
    bool device = false;
    std::vector<std::string> masters;
    while (const dirent* entry = ::readdir(descriptors.get())) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string link = process + "/fd/" + entry->d_name;
        const std::string target = linkText(link);
        if (target == wanted.path)
            device = device || isTheDevice(link, wanted);
        else if (wanted.ptyIndex >= 0 && (target == "/dev/ptmx" || target == "/dev/pts/ptmx"))
            masters.push_back(entry->d_name);
    }
    if (!device)
        return Hold::None;
    // Only a holder is asked whether it holds the master too: a process may keep hundreds of them.
    for (const std::string& descriptor : masters) {
        // The master of the same number in another devpts instance is another terminal's.
        const DescriptorInfo info = descriptorInfo(process, descriptor.c_str());
        if (info.ttyIndex != wanted.ptyIndex)
            continue;
        const dev_t instance = masterInstance(process, info.mountId);
        if (instance == 0 || instance == wanted.device.st_dev)
            return Hold::Master;
    }
    return Hold::Device;
}

// The majors of pseudo-terminal slaves, as /proc/devices names them ("136 pts").
bool isPseudoTerminalSlaveMajor(unsigned int major)
{
    std::ifstream devices("/proc/devices");
    std::string line;
    bool characterDevices = false;
    while (std::getline(devices, line)) {
        if (line.empty() || line.back() == ':') {
            characterDevices = line == "Character devices:";
            continue;
        }
        unsigned int number = 0;
        char name[64] = {};
        if (characterDevices && std::sscanf(line.c_str(), "%u %63s", &number, name) == 2 && number == major &&
            std::strcmp(name, "pts") == 0)
            return true;
    }
    return false;
}

// The subsystem /sys files the character device under ("tty", "mem"); empty when it has no entry.
std::string subsystemOf(dev_t device, const std::string& sysfs)
{
    const std::string link = linkText(sysfs + "/dev/char/" + std::to_string(major(device)) + ":" +
                                      std::to_string(minor(device)) + "/subsystem");
    const std::size_t slash = link.rfind('/');
    return slash == std::string::npos ? link : link.substr(slash + 1);
}

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool isInGroup(gid_t group)
{
    if (::getegid() == group)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int filled = ::getgroups(count, groups.data());
    return filled > 0 && std::find(groups.begin(), groups.begin() + filled, group) != groups.begin() + filled;
}

} // namespace

std::vector<PortAccess::Holder> PortAccess::otherHolders(const std::string& devicePath,
                                                         const struct stat& device,
                                                         std::chrono::milliseconds bound, bool* lookedAtEvery)
{
    const Clock::time_point deadline = Clock::now() + bound;
    if (lookedAtEvery)
        *lookedAtEvery = true;
    std::vector<Holder> holders;
    const Directory processes = openDirectory("/proc");
    if (!processes)
        return holders;
    const pid_t self = ::getpid();
    const long ptyIndex = pseudoTerminalIndex(devicePath);
    const Wanted wanted{devicePath, device,
                        ptyIndex >= 0 || isPseudoTerminalSlaveMajor(major(device.st_rdev)), ptyIndex};
    while (const dirent* entry = ::readdir(processes.get())) {
        if (Clock::now() >= deadline) {
            if (lookedAtEvery)
                *lookedAtEvery = false;
            break;
        }
        const pid_t pid = processId(entry->d_name);
        if (pid == 0 || pid == self)
            continue;
        if (holdOf(std::string("/proc/") + entry->d_name, wanted) == Hold::Device)
            holders.push_back({pid, commandName(pid)});
    }
    std::sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
    return holders;
}

std::string PortAccess::named(const std::vector<Holder>& holders)
{
    std::vector<std::string> names;
    for (const Holder& holder : holders)
        names.push_back(holder.name + " (pid " + std::to_string(holder.pid) + ")");
    return listHolders(names);
}

std::string PortAccess::commandName(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name.empty() ? std::string("a program") : name;
}

std::string PortAccess::terminalRefusal(mode_t mode, dev_t device, const std::string& sysfs)
{
    if (S_ISDIR(mode))
        return "a directory, not a serial port";
    if (S_ISREG(mode))
        return "a file, not a serial port";
    if (S_ISFIFO(mode))
        return "a pipe, not a serial port";
    if (!S_ISCHR(mode))
        return "not a terminal device";
    // /dev/ptmx hands out a new pseudo-terminal on every open.
    if (major(device) == 5 && minor(device) == 2)
        return "a pseudo-terminal master, not a serial line";
    // Opening a console may already change what the machine's screen shows.
    if ((major(device) == 5 && minor(device) == 1) || (major(device) == 4 && minor(device) < 64))
        return "a console, not a serial line";
    // A container or chroot without sysfs lists no device at all; the check on the terminal opened
    // decides there instead.
    if (!openDirectory(sysfs + "/dev/char"))
        return std::string();
    const std::string subsystem = subsystemOf(device, sysfs);
    if (subsystem == "tty" || (subsystem.empty() && isPseudoTerminalSlaveMajor(major(device))))
        return std::string();
    return "not a terminal device" + (subsystem.empty() ? std::string() : " (a " + subsystem + " device)");
}

std::string PortAccess::listHolders(const std::vector<std::string>& holders)
{
    switch (holders.size()) {
    case 0:
        return std::string();
    case 1:
        return holders.front();
    case 2:
        return holders.front() + " and " + holders.back();
    default:
        return holders.front() + " and " + std::to_string(holders.size() - 1) + " more";
    }
}

std::string PortAccess::permissionAdvice(mode_t mode, const std::string& owner, const std::string& group,
                                         bool inGroup)
{
    if ((mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && !inGroup)
        return "add your user to the group " + group + ", then log in again";
    return "the device belongs to " + owner + ":" + group + " with mode " + octal(mode);
}

std::string PortAccess::permissionAdvice(const std::string& path)
{
    struct stat device;
    if (::stat(path.c_str(), &device) != 0)
        return std::string();
    // The reentrant look-ups: runs side by side each open their own ports.
    std::vector<char> buffer(16384);
    struct passwd user;
    struct passwd* foundUser = nullptr;
    const std::string owner =
        ::getpwuid_r(device.st_uid, &user, buffer.data(), buffer.size(), &foundUser) == 0 && foundUser
            ? foundUser->pw_name
            : std::to_string(device.st_uid);
    struct group owningGroup;
    struct group* foundGroup = nullptr;
    const std::string groupName =
        ::getgrgid_r(device.st_gid, &owningGroup, buffer.data(), buffer.size(), &foundGroup) == 0 &&
                foundGroup
            ? foundGroup->gr_name
            : std::to_string(device.st_gid);
    return permissionAdvice(device.st_mode, owner, groupName, isInGroup(device.st_gid));
}
