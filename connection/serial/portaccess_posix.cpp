#include "portaccess.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Directory = std::unique_ptr<DIR, int (*)(DIR*)>;

Directory openDirectory(const std::string& path)
{
    return Directory(::opendir(path.c_str()), &::closedir);
}

// A /proc entry's process id, or 0 when the entry is no process.
pid_t processId(const char* name)
{
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(name, &end, 10);
    if (errno != 0 || end == name || *end != '\0' || number <= 0)
        return 0;
    return static_cast<pid_t>(number);
}

bool holdsDevice(const std::string& process, dev_t device)
{
    const Directory descriptors = openDirectory(process + "/fd");
    if (!descriptors)
        return false; // gone, or not ours to look at
    while (const dirent* entry = ::readdir(descriptors.get())) {
        struct stat status;
        // stat follows the entry to the open file without opening it again.
        if (entry->d_name[0] != '.' && ::stat((process + "/fd/" + entry->d_name).c_str(), &status) == 0 &&
            S_ISCHR(status.st_mode) && status.st_rdev == device)
            return true;
    }
    return false;
}

std::string commandName(const std::string& process)
{
    std::ifstream file(process + "/comm");
    std::string name;
    std::getline(file, name);
    return name.empty() ? std::string("a program") : name;
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

std::vector<std::string> PortAccess::otherHolders(dev_t device)
{
    std::vector<std::pair<pid_t, std::string>> holders;
    const Directory processes = openDirectory("/proc");
    if (!processes)
        return {};
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(processes.get())) {
        const pid_t pid = processId(entry->d_name);
        if (pid == 0 || pid == self)
            continue;
        const std::string process = std::string("/proc/") + entry->d_name;
        if (holdsDevice(process, device))
            holders.emplace_back(pid, commandName(process));
    }
    std::sort(holders.begin(), holders.end());
    std::vector<std::string> named;
    for (const auto& [pid, name] : holders)
        named.push_back(name + " (pid " + std::to_string(pid) + ")");
    return named;
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
