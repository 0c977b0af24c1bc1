#include "filecalls.h"

#include "lockwait.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
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

namespace {

// Readable once the waits of writes were ended; never read, so that it stays readable.
struct WriteEnding
{
    WriteEnding()
    {
        if (::pipe2(descriptors, O_CLOEXEC | O_NONBLOCK) != 0)
            descriptors[0] = descriptors[1] = -1;
    }
    int descriptors[2];
};
WriteEnding writeEnding;

// Waits until the descriptor takes bytes: false, with errno set, when the waits were ended and
// the reader took nothing for WaitAfterEnd after that, or when poll failed.
bool waitUntilWritable(Descriptor descriptor)
{
    bool ended = false;
    for (;;) {
        pollfd waits[2] = {{descriptor, POLLOUT, 0}, {writeEnding.descriptors[0], POLLIN, 0}};
        const int bound = ended ? static_cast<int>(WaitAfterEnd.count()) : -1;
        const int ready = ::poll(waits, ended || waits[1].fd < 0 ? 1 : 2, bound);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        if (waits[0].revents != 0)
            return true; // writable, or an error that the write itself then tells
        if (ended) {
            errno = ECANCELED;
            return false;
        }
        ended = true;
    }
}

} // namespace

long long writeSome(Descriptor descriptor, const char* data, std::size_t size)
{
    // A regular file always takes bytes at once; anything else (a pipe, a FIFO, a terminal) is
    // waited for with poll, and then given no more than it takes without blocking (a pipe with
    // room takes PIPE_BUF bytes whole), so that a stop asked for meanwhile ends the wait.
    const bool waits = kindOf(descriptor) != Kind::Regular;
    if (waits && !waitUntilWritable(descriptor))
        return -1;
    const std::size_t chunk =
        waits ? std::min<std::size_t>(size, PIPE_BUF) : std::min<std::size_t>(size, SSIZE_MAX);
    ssize_t written;
    do
        written = ::write(descriptor, data, chunk);
    while (written < 0 && errno == EINTR);
    return written;
}

void endWaitingWrites()
{
    const int savedErrno = errno;
    const char byte = 1;
    if (writeEnding.descriptors[1] >= 0) [[maybe_unused]]
        const ssize_t written = ::write(writeEnding.descriptors[1], &byte, 1);
    errno = savedErrno;
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
    const auto tryLock = [descriptor] {
        if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0)
            return Lock::Taken;
        return errno == EWOULDBLOCK || errno == EINTR ? Lock::Busy : Lock::Failed;
    };
    const Lock tried = tryLock();
    if (tried != Lock::Busy)
        return tried;
    const int duplicate = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0)
        return Lock::Failed;
    const auto lockWaiting = [duplicate] {
        int result;
        do
            result = ::flock(duplicate, LOCK_EX);
        while (result != 0 && errno == EINTR);
        return result == 0 ? 0 : errno;
    };
    return waitForLock({tryLock, lockWaiting, [duplicate] { ::flock(duplicate, LOCK_UN); },
                        [duplicate] { ::close(duplicate); }},
                       wait);
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
