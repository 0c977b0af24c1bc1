#include "durablelinefile.h"

#include <cerrno>

namespace {

std::string systemReason(int error)
{
    if (error == ECANCELED)
        return "its reader took nothing once the program was asked to stop";
    return error ? FileCalls::reason(error) : "the file did not take the whole line";
}

std::string lockBusy(std::chrono::milliseconds wait)
{
    return "another program has held the file's lock for more than " + std::to_string(wait.count()) + " ms";
}

} // namespace

DurableLineFile::~DurableLineFile()
{
    if (descriptor >= 0)
        FileCalls::close(descriptor);
}

bool DurableLineFile::open(const std::string& path, Accepts accepts, std::string& error)
{
    bool exists = false;
    const FileCalls::Kind kind = FileCalls::kindAt(path, exists);
    if (accepts == Accepts::RegularFile && kind != FileCalls::Kind::Regular) {
        error = "it is " + FileCalls::kindName(kind) + ", not a regular file";
        return false;
    }
    const FileCalls::Descriptor fd = FileCalls::open(path, FileCalls::Mode::Append);
    if (fd < 0) {
        error = errno == ENXIO ? "it is a FIFO that no program reads" : systemReason(errno);
        return false;
    }
    const FileCalls::Kind opened = FileCalls::kindOf(fd);
    regular = opened == FileCalls::Kind::Regular;
    if ((accepts == Accepts::RegularFile && !regular) || opened == FileCalls::Kind::Folder) {
        FileCalls::close(fd);
        error = "it is " + FileCalls::kindName(opened) + ", not a regular file";
        return false;
    }
    descriptor = fd;
    return true;
}

bool DurableLineFile::lock(std::string& error, std::chrono::milliseconds wait)
{
    if (locked || !regular)
        return true;
    switch (FileCalls::lock(descriptor, wait)) {
    case FileCalls::Lock::Taken:
        locked = true;
        return true;
    case FileCalls::Lock::Busy:
        error = lockBusy(wait);
        return false;
    case FileCalls::Lock::Failed:
        break;
    }
    error = "cannot lock the file: " + systemReason(errno);
    return false;
}

bool DurableLineFile::stillAt(const std::string& path) const
{
    return descriptor >= 0 && FileCalls::stillAt(descriptor, path);
}

long long DurableLineFile::size() const
{
    return descriptor >= 0 ? FileCalls::sizeOf(descriptor) : -1;
}

bool DurableLineFile::append(const std::string& line, std::string& error)
{
    if (descriptor < 0) {
        error = "the file is not open";
        return false;
    }
    // The lock is on the file itself, so the size taken under it is where this line begins: a cut
    // back to it takes back this program's bytes and nobody else's.
    const bool lockedHere = !locked;
    if (lockedHere && !lock(error))
        return false;
    const long long sizeBefore = regular ? size() : -1;
    char last = '\n';
    const bool startsMidLine =
        sizeBefore > 0 && FileCalls::byteAt(descriptor, sizeBefore - 1, last) && last != '\n';
    const std::string whole = startsMidLine ? '\n' + line : line;
    std::size_t done = 0;
    int failure = 0;
    // One write takes the whole line into a file; a short one is followed by one more for the
    // rest, which either completes the line or tells why it could not (a full disk: ENOSPC). A
    // pipe takes it in pieces.
    while (done < whole.size()) {
        const long long written = FileCalls::writeSome(descriptor, whole.data() + done, whole.size() - done);
        if (written <= 0) {
            failure = written < 0 ? errno : 0;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    bool appended = done == whole.size();
    if (appended && regular && FileCalls::syncData(descriptor) != 0) {
        error = "could not sync: " + systemReason(errno) + "; the line is written but may not be on the disk";
        appended = false;
    } else if (!appended) {
        error = systemReason(failure);
        if (sizeBefore >= 0)
            FileCalls::truncate(descriptor, sizeBefore);
    }
    if (lockedHere && regular) {
        FileCalls::unlock(descriptor);
        locked = false;
    }
    return appended;
}
