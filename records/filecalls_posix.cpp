#include "filecalls.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace FileCalls {

namespace {

Kind kindOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return Kind::Regular;
    if (S_ISDIR(mode))
        return Kind::Folder;
    if (S_ISFIFO(mode))
        return Kind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return Kind::Device;
    return Kind::Other;
}

} // namespace

Descriptor open(const std::string& path, Mode mode)
{
    const int flags =
        O_CLOEXEC | O_NONBLOCK | O_CREAT | (mode == Mode::Append ? O_RDWR | O_APPEND : O_WRONLY | O_TRUNC);
    int fd;
    do
        fd = ::open(path.c_str(), flags, 0666);
    while (fd < 0 && errno == EINTR);
    // A FIFO opens for reading and writing even without a reader (Linux): opened again write-only,
    // it fails at once when no program reads it.
    if (fd >= 0 && mode == Mode::Append && kindOf(fd) == Kind::Fifo) {
        ::close(fd);
        do
            fd = ::open(path.c_str(), O_CLOEXEC | O_NONBLOCK | O_WRONLY | O_APPEND);
        while (fd < 0 && errno == EINTR);
    }
    // Blocking from here on: a reader that is slow is waited for, as a file on a slow disk is.
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int close(Descriptor descriptor)
{
    return ::close(descriptor);
}

Kind kindOf(Descriptor descriptor)
{
    struct stat status;
    return ::fstat(descriptor, &status) == 0 ? kindOfMode(status.st_mode) : Kind::Other;
}

Kind kindAt(const std::string& path, bool& exists)
{
    struct stat status;
    exists = ::stat(path.c_str(), &status) == 0;
    return exists ? kindOfMode(status.st_mode) : Kind::Regular;
}

long long sizeOf(Descriptor descriptor)
{
    struct stat status;
    return ::fstat(descriptor, &status) == 0 ? status.st_size : -1;
}

long long writeSome(Descriptor descriptor, const char* data, std::size_t size)
{
    ssize_t written;
    do
        written = ::write(descriptor, data, std::min<std::size_t>(size, SSIZE_MAX));
    while (written < 0 && errno == EINTR);
    return written;
}

bool byteAt(Descriptor descriptor, long long offset, char& byte)
{
    return ::pread(descriptor, &byte, 1, offset) == 1;
}

int systemSyncData(Descriptor descriptor)
{
    return ::fdatasync(descriptor);
}

int truncate(Descriptor descriptor, long long size)
{
    int result;
    do
        result = ::ftruncate(descriptor, size);
    while (result != 0 && errno == EINTR);
    return result;
}

Lock lock(Descriptor descriptor, std::chrono::milliseconds wait)
{
    // flock() has no time-out of its own: tried again every millisecond or so, as appends by
    // others take a write and a sync.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0)
            return Lock::Taken;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return Lock::Failed;
        if (std::chrono::steady_clock::now() >= deadline)
            return Lock::Busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void unlock(Descriptor descriptor)
{
    ::flock(descriptor, LOCK_UN);
}

bool stillAt(Descriptor descriptor, const std::string& path)
{
    struct stat open;
    struct stat named;
    return ::fstat(descriptor, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

int rename(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str());
}

} // namespace FileCalls
