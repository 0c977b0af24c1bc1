// Which file a path names, so that two options can be kept from writing one file: an existing file
// by its device and inode (whatever links lead to it), a file still to be created (or any file
// where there are no inodes) by the canonical path of its folder and its name, after following the
// symbolic links that lead to it.
#pragma once

#include <QString>
#include <cstdint>

class FileIdentity
{
public:
    explicit FileIdentity(const QString& path);

    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }

private:
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    QString futurePath; // when it does not exist yet
};
