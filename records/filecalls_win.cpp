#include "filecalls.h"

#include "lockwait.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace FileCalls {

namespace {

Kind kindOfMode(unsigned short mode)
{
    if ((mode & _S_IFMT) == _S_IFREG)
        return Kind::Regular;
    if ((mode & _S_IFMT) == _S_IFDIR)
        return Kind::Folder;
    if ((mode & _S_IFMT) == _S_IFIFO)
        return Kind::Fifo;
    if ((mode & _S_IFMT) == _S_IFCHR)
        return Kind::Device;
    return Kind::Other;
}

HANDLE handleOf(Descriptor descriptor)
{
    return reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
}

} // namespace

// Windows has no FIFO that a program opens by path, so nothing here can block on one.
Descriptor open(const std::string& path, Mode mode)
{
    const int flags = _O_BINARY | _O_NOINHERIT | _O_CREAT |
                      (mode == Mode::Append ? _O_RDWR | _O_APPEND : _O_WRONLY | _O_TRUNC);
    return ::_open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
}

int close(Descriptor descriptor)
{
    return ::_close(descriptor);
}

Kind kindOf(Descriptor descriptor)
{
    struct _stat64 status;
    return ::_fstat64(descriptor, &status) == 0 ? kindOfMode(status.st_mode) : Kind::Other;
}

Kind kindAt(const std::string& path, bool& exists)
{
    struct _stat64 status;
    exists = ::_stat64(path.c_str(), &status) == 0;
    return exists ? kindOfMode(status.st_mode) : Kind::Regular;
}

long long sizeOf(Descriptor descriptor)
{
    struct _stat64 status;
    return ::_fstat64(descriptor, &status) == 0 ? status.st_size : -1;
}

// Windows writes to a pipe nobody reads are not waited for with a poll here; the console's own
// handler ends the program at a second Ctrl+C.
void endWaitingWrites() {}

long long writeSome(Descriptor descriptor, const char* data, std::size_t size)
{
    return ::_write(descriptor, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

// The file position moves, which an appending descriptor does not mind: every write goes to the end.
bool byteAt(Descriptor descriptor, long long offset, char& byte)
{
    return ::_lseeki64(descriptor, offset, SEEK_SET) >= 0 && ::_read(descriptor, &byte, 1) == 1;
}

int systemSyncData(Descriptor descriptor)
{
    return ::_commit(descriptor);
}

int truncate(Descriptor descriptor, long long size)
{
    const errno_t error = ::_chsize_s(descriptor, size);
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

Lock lock(Descriptor descriptor, std::chrono::milliseconds wait)
{
    const HANDLE file = handleOf(descriptor);
    const auto tryLock = [file] {
        OVERLAPPED whole = {};
        if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                         &whole))
            return Lock::Taken;
        if (::GetLastError() == ERROR_LOCK_VIOLATION)
            return Lock::Busy;
        errno = EACCES;
        return Lock::Failed;
    };
    const Lock tried = tryLock();
    if (tried != Lock::Busy)
        return tried;
    // A duplicate handle shares the open file, and with it the lock taken through it.
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        errno = EACCES;
        return Lock::Failed;
    }
    // Without LOCKFILE_FAIL_IMMEDIATELY, on a handle opened for synchronous use, the call returns
    // once the lock is granted.
    const auto lockWaiting = [duplicate] {
        OVERLAPPED whole = {};
        return ::LockFileEx(duplicate, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) ? 0 : EACCES;
    };
    const auto unlockDuplicate = [duplicate] {
        OVERLAPPED whole = {};
        ::UnlockFileEx(duplicate, 0, MAXDWORD, MAXDWORD, &whole);
    };
    return waitForLock({tryLock, lockWaiting, unlockDuplicate, [duplicate] { ::CloseHandle(duplicate); }},
                       wait);
}

void unlock(Descriptor descriptor)
{
    OVERLAPPED whole = {};
    ::UnlockFileEx(handleOf(descriptor), 0, MAXDWORD, MAXDWORD, &whole);
}

// An open file cannot be renamed away on Windows unless it was opened to allow that, which the C
// runtime's _open does not.
bool stillAt(Descriptor, const std::string&)
{
    return true;
}

int rename(const std::string& from, const std::string& to)
{
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    errno = EACCES;
    return -1;
}

} // namespace FileCalls
