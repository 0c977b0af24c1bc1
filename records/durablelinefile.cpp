#include "durablelinefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
constexpr int OpenFlags = O_RDWR | O_APPEND | O_CREAT | O_BINARY | O_NOINHERIT;
int syncToDisk(int fd)
{
    return _commit(fd);
}
int cutBackTo(int fd, off_t size)
{
    return _chsize_s(fd, size);
}
#else
constexpr int OpenFlags = O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC;
int syncToDisk(int fd)
{
    return ::fdatasync(fd);
}
int cutBackTo(int fd, off_t size)
{
    int result;
    do
        result = ::ftruncate(fd, size);
    while (result != 0 && errno == EINTR);
    return result;
}
#endif

std::string systemReason(int error)
{
    return error ? std::strerror(error) : "the file did not take the whole line";
}

// The size of the file, or -1.
off_t sizeOf(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 ? status.st_size : -1;
}

// Whether the file's last byte is something other than a line feed: a line cut short by a program
// that died mid-write or a full disk.
bool endsMidLine(int fd)
{
    const off_t size = sizeOf(fd);
    if (size <= 0)
        return false;
    char last = '\n';
#ifdef _WIN32
    if (::_lseeki64(fd, size - 1, SEEK_SET) < 0 || ::_read(fd, &last, 1) != 1)
        return false;
#else
    if (::pread(fd, &last, 1, size - 1) != 1)
        return false;
#endif
    return last != '\n';
}

} // namespace

DurableLineFile::~DurableLineFile()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

bool DurableLineFile::open(const std::string& path, std::string& error)
{
    int fd;
    do
        fd = ::open(path.c_str(), OpenFlags, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = systemReason(errno);
        return false;
    }
    struct stat status;
    // A pipe or a terminal (--report /dev/stdout) takes its lines as they come: it can be neither
    // synced nor cut back.
    regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    descriptor = fd;
    startsMidLine = regular && endsMidLine(fd);
    return true;
}

bool DurableLineFile::append(const std::string& line, std::string& error)
{
    if (descriptor < 0) {
        error = "the file is not open";
        return false;
    }
    const std::string whole = startsMidLine ? '\n' + line : line;
    const off_t sizeBefore = regular ? sizeOf(descriptor) : -1;
    std::size_t done = 0;
    int reason = 0;
    // One write takes the whole line; a short one is followed by one more for the rest, which
    // either completes the line or tells why it could not (a full disk: ENOSPC).
    for (int attempt = 0; attempt < 2 && done < whole.size(); ++attempt) {
        ssize_t written;
        do
            written = ::write(descriptor, whole.data() + done, whole.size() - done);
        while (written < 0 && errno == EINTR);
        if (written < 0) {
            reason = errno;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    if (done == whole.size()) {
        startsMidLine = false;
        if (!regular || syncToDisk(descriptor) == 0)
            return true;
        error = systemReason(errno);
        return false;
    }
    error = systemReason(reason);
    if (sizeBefore >= 0)
        cutBackTo(descriptor, sizeBefore);
    return false;
}
