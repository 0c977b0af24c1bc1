// A file that whole lines are appended to, each at once and safely on disk before the next: a
// line is either there complete or not at all, whatever the disk or a crash does. Programs that
// append to the same file take turns through a lock on the file itself, so that a line that did
// not fit is taken back without taking anyone else's. Qt-free.
#pragma once

#include "filecalls.h"

#include <chrono>
#include <string>

class DurableLineFile
{
public:
    // How long an append waits for the appends of other programs to the same file, which take the
    // lock in turn. An append takes one write and one sync, so twenty programs ending their runs
    // at once on a slow disk keep the lock for a second or two; a lock held for the whole wait
    // belongs to a program that hangs.
    static constexpr std::chrono::milliseconds LockWait{10000};

    enum class Accepts
    {
        RegularFile, // a journal: a FIFO, a device or a folder is refused before it is opened
        AnyFile      // a report: also a pipe or a terminal (/dev/stdout), which can be neither synced nor
                     // cut back; a FIFO that no program reads is refused at once
    };

    DurableLineFile() = default;
    ~DurableLineFile();
    DurableLineFile(const DurableLineFile&) = delete;
    DurableLineFile& operator=(const DurableLineFile&) = delete;

    // Opens the file for appending, creating it if needed. False, with the reason, when it cannot
    // be written or is no file of the kind accepted.
    bool open(const std::string& path, Accepts accepts, std::string& error);
    bool isOpen() const { return descriptor >= 0; }

    // Takes the file's lock until close, for work that must see the file unchanged by others until
    // the append (a rotation). False, with the reason, when another program kept it for the wait.
    bool lock(std::string& error, std::chrono::milliseconds wait = LockWait);
    // Whether the path opened still names this file (another program may have rotated it away).
    bool stillAt(const std::string& path) const;
    // The file's size now, or -1.
    long long size() const;

    // Appends the line (which ends with its line feed) in one write and syncs it, under the file's
    // lock. When the write fails or falls short, the file is cut back to its size before the line,
    // so that no torn line is left; false, with the system's reason. A file that ends in a torn
    // line of someone else's gets a line feed first, so that this line stands alone. A sync that
    // fails after a whole write leaves the line and says "could not sync".
    bool append(const std::string& line, std::string& error);

private:
    FileCalls::Descriptor descriptor = -1;
    bool regular = false; // a regular file, which can be locked, synced and cut back
    bool locked = false;  // by lock(), until close
};
