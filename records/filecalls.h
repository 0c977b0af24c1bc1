// The file system calls that records are written with, each wrapped once: checked, an interrupted
// call resumed, a failure kept as the system's error number. The durable line file (reports, the
// calibration history) and the background writer (recordings) share them. One source per
// platform: filecalls_posix.cpp, filecalls_win.cpp. Qt-free.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace FileCalls {

enum class Mode
{
    Append, // read and append, created when missing
    Replace // write from the start, created when missing, emptied when there
};

enum class Kind
{
    Regular,
    Folder,
    Fifo,
    Device, // a terminal, /dev/null, a disk
    Other   // a socket, or what the system would not say
};

enum class Lock
{
    Taken,
    Busy,  // another holder kept it for the whole wait
    Failed // the system refused (errno says why)
};

// A C runtime descriptor on every platform; -1 for none.
using Descriptor = int;

// Opens the file without ever waiting: a FIFO that no program reads fails at once (ENXIO) instead
// of blocking, one that a program reads is then written as usual. -1 with errno set on failure.
Descriptor open(const std::string& path, Mode mode);
int close(Descriptor descriptor);
// What the open file is; Other (errno set) when the system would not say.
Kind kindOf(Descriptor descriptor);
// What is at path, without opening it (a FIFO is not opened); Regular when nothing is there yet.
Kind kindAt(const std::string& path, bool& exists);
// The file's size, or -1 with errno set.
long long sizeOf(Descriptor descriptor);
// Bytes written by one write, or -1 with errno set (never EINTR). A pipe, FIFO or terminal whose
// reader does not read is waited for, as long as it takes, until endWaitingWrites(): from then on
// a write waits at most WaitAfterEnd for its reader and fails with ECANCELED after it.
long long writeSome(Descriptor descriptor, const char* data, std::size_t size);
// Ends the waits of writes for their readers, now and from now on; called by a signal handler
// (it only writes to a pipe) when the program is asked to stop.
void endWaitingWrites();
// How long a write still waits for its reader once the waits were ended: a reader that is only
// slow (a pager) still gets the last lines, one that stopped reading holds nobody up.
constexpr std::chrono::milliseconds WaitAfterEnd{1000};
// Reads the byte at offset without moving the file position; false when it could not.
bool byteAt(Descriptor descriptor, long long offset, char& byte);
// Syncs the file's data to the disk; -1 with errno set.
int syncData(Descriptor descriptor);
// The system's sync, which syncData() calls unless a replacement is set.
int systemSyncData(Descriptor descriptor);
// Puts call in the place of the system's sync, for tests of a sync that fails (EIO) or hangs (a
// stuck NFS server); nullptr puts the system's back. Any thread may set it at any time.
using SyncCall = int (*)(Descriptor descriptor);
void replaceSyncData(SyncCall call);
// Cuts the file back to size; -1 with errno set.
int truncate(Descriptor descriptor, long long size);
// Takes the exclusive lock on the file itself, trying for at most wait. Programs that append to
// the same file take it around each append, so that no one cuts back another's bytes.
Lock lock(Descriptor descriptor, std::chrono::milliseconds wait);
void unlock(Descriptor descriptor);
// Whether path still names the open file (not renamed away since it was opened).
bool stillAt(Descriptor descriptor, const std::string& path);
// Renames from to to, replacing to where the system allows; -1 with errno set.
int rename(const std::string& from, const std::string& to);

// The system's words for an error number.
std::string reason(int error);
// "a folder", "a FIFO", "a device", "not a regular file".
std::string kindName(Kind kind);

} // namespace FileCalls
