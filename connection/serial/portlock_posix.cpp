#include "portlock.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lock files this process holds, where a signal handler can find them without taking a lock:
// a slot is written while it is Writing and only read while it is Held.
enum SlotState
{
    Free,
    Writing,
    Held
};
constexpr int MaxHeld = 128;
constexpr std::size_t MaxPathLength = 512;
std::atomic<int> slotStates[MaxHeld];
char slotPaths[MaxHeld][MaxPathLength];
dev_t slotDevices[MaxHeld];
ino_t slotInodes[MaxHeld];

int registerHeld(const std::string& path, dev_t device, ino_t inode)
{
    if (path.size() >= MaxPathLength)
        return -1;
    for (int slot = 0; slot < MaxHeld; ++slot) {
        int expected = Free;
        if (slotStates[slot].compare_exchange_strong(expected, Writing)) {
            std::memcpy(slotPaths[slot], path.c_str(), path.size() + 1);
            slotDevices[slot] = device;
            slotInodes[slot] = inode;
            slotStates[slot].store(Held);
            return slot;
        }
    }
    return -1; // still removed on close, but not by a signal
}

// The pid a lock file begins with, read with async-signal-safe calls only; 0 when none.
pid_t leadingPid(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[16];
    const ssize_t size = ::read(fd, text, sizeof text);
    ::close(fd);
    long pid = 0;
    for (ssize_t i = 0; i < size && (text[i] == ' ' || (text[i] >= '0' && text[i] <= '9')); ++i)
        if (text[i] != ' ')
            pid = pid * 10 + (text[i] - '0');
    return static_cast<pid_t>(pid);
}

// Removes the lock file only while it is still the one this process wrote: the same file, naming
// this process. Another program (Qt Serial Port's QLockFile) may have called it stale and put its
// own in its place, which is then left alone. Async-signal-safe.
void removeIfOurs(const char* path, dev_t device, ino_t inode)
{
    struct stat status;
    if (::lstat(path, &status) == 0 && status.st_dev == device && status.st_ino == inode &&
        leadingPid(path) == ::getpid())
        ::unlink(path);
}

// The default action of each of these ends the program. Where nothing else handles one, the lock
// files go first; the signal is then raised again with its default action, which ends the program
// as it would have ended (a core dump included).
const int EndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                             SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                             SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS};

extern "C" void removeLocksAndEnd(int signalNumber)
{
    PortLock::removeAllHeld();
    ::raise(signalNumber); // SA_RESETHAND has put the default action back
}

extern "C" void removeLocksAtExit()
{
    PortLock::removeAllHeld();
}

// Once, before the first lock file is written: a handler for every ending signal still left to its
// default action (a program's own handlers, such as the window's and vkr-calibrate's, close their
// ports and so their lock files themselves), and exit() without a close.
void removeLocksWhenTheProgramEnds()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (const int signalNumber : EndingSignals) {
            struct sigaction current = {};
            if (::sigaction(signalNumber, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) ||
                current.sa_handler != SIG_DFL)
                continue;
            struct sigaction action = {};
            action.sa_handler = removeLocksAndEnd;
            sigfillset(&action.sa_mask);
            action.sa_flags = SA_RESETHAND | SA_NODEFER;
            ::sigaction(signalNumber, &action, nullptr);
        }
        std::atexit(removeLocksAtExit);
    });
}

// What a lock file says about its owner.
struct Found
{
    bool present = false;
    pid_t pid = 0; // 0: the file names no process
};

// The owner's pid in ASCII, however padded (ten digits and a line feed, or Qt's pid, name and
// host on lines of their own), or as four binary bytes, the oldest form.
Found readLockFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {errno != ENOENT, 0};
    char text[64];
    const ssize_t size = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (size <= 0)
        return {true, 0};
    text[size] = '\0';
    long pid = 0;
    if (std::sscanf(text, " %ld", &pid) == 1 && pid > 0)
        return {true, static_cast<pid_t>(pid)};
    if (size == sizeof(int32_t)) {
        int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return {true, binary > 0 ? static_cast<pid_t>(binary) : 0};
    }
    return {true, 0};
}

bool isAlive(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

enum class Creation
{
    Created,
    Exists,
    Unwritable
};

// The program's name as the system knows it (what Qt's QLockFile compares with the name line).
std::string programName()
{
    char target[4096];
    const ssize_t length = ::readlink("/proc/self/exe", target, sizeof target - 1);
    if (length <= 0)
        return program_invocation_short_name;
    const std::string path(target, std::size_t(length));
    return path.substr(path.rfind('/') + 1);
}

// The lock file's text: the pid as ten characters and a line feed, which UUCP readers (minicom,
// lockdev) take, then the program's name and the host's, which Qt Serial Port's QLockFile reads too
// (it calls a lock stale whose name line is not the running program's).
std::string lockText()
{
    char pid[16];
    std::snprintf(pid, sizeof pid, "%10ld\n", static_cast<long>(::getpid()));
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    return pid + programName() + "\n" + host + "\n";
}

// A fresh lock file of this process, under a name of its own in the folder; empty when it cannot be
// written.
std::string writePending(const std::string& folder, struct stat& status)
{
    std::string pending = folder + "/.vkr-lock-XXXXXX";
    const int fd = ::mkstemp(&pending[0]);
    if (fd < 0)
        return std::string();
    const std::string text = lockText();
    const bool written = ::fchmod(fd, 0644) == 0 &&
                         ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         ::fstat(fd, &status) == 0;
    if (::close(fd) == 0 && written)
        return pending;
    ::unlink(pending.c_str());
    return std::string();
}

// Writes the lock file into a file of its own and links it in under the lock file's name: the
// lock file appears whole or not at all, and never over one that another program has just made.
Creation createLockFile(const std::string& folder, const std::string& path, struct stat& status)
{
    const std::string pending = writePending(folder, status);
    if (pending.empty())
        return Creation::Unwritable;
    Creation creation = Creation::Unwritable;
    if (::link(pending.c_str(), path.c_str()) == 0)
        creation = Creation::Created;
    else if (errno == EEXIST)
        creation = Creation::Exists;
    ::unlink(pending.c_str());
    return creation;
}

// Whether path is the file described by status (still there, not replaced since).
bool sameFile(const std::string& path, const struct stat& status)
{
    struct stat now;
    return ::lstat(path.c_str(), &now) == 0 && now.st_dev == status.st_dev && now.st_ino == status.st_ino;
}

void (*takeOverPause)() = nullptr;

// Replaces the lock file of a process that has ended with a fresh one of this process, atomically:
// under a lock on the folder that every taker of this program takes, the file is read again, and
// only while it still names the ended process is the fresh file renamed over it; the file is then
// checked to be this process's. Another taker that read the same stale pid finds the new owner
// alive when its turn comes. False when the file changed meanwhile or could not be replaced.
bool replaceStale(const std::string& folder, const std::string& path, pid_t stalePid, struct stat& status)
{
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return false;
    int locked;
    do
        locked = ::flock(folderFd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    bool replaced = false;
    if (readLockFile(path).pid == stalePid) {
        if (takeOverPause)
            takeOverPause();
        const std::string pending = writePending(folder, status);
        if (!pending.empty() && ::rename(pending.c_str(), path.c_str()) == 0)
            replaced = sameFile(path, status) && readLockFile(path).pid == ::getpid();
        else if (!pending.empty())
            ::unlink(pending.c_str());
    }
    ::close(folderFd); // and with it the folder's lock
    return replaced;
}

} // namespace

PortLock::~PortLock()
{
    release();
}

std::string PortLock::directory()
{
    const char* folder = std::getenv("VKR_LOCK_DIR");
    return folder && *folder ? folder : "/var/lock";
}

std::string PortLock::fileName(const std::string& devicePath)
{
    const std::string dev = "/dev/";
    std::string name = devicePath.compare(0, dev.size(), dev) == 0
                           ? devicePath.substr(dev.size())
                           : devicePath.substr(devicePath.rfind('/') + 1);
    for (char& character : name)
        if (character == '/')
            character = '_';
    return "LCK.." + name;
}

void PortLock::setTakeOverPause(void (*pause)())
{
    takeOverPause = pause;
}

bool PortLock::acquire(const std::string& devicePath)
{
    release();
    ownerPid = 0;
    takeOverNote.clear();
    const std::string folder = directory();
    lockPath = folder + "/" + fileName(devicePath);
    // A lock file that goes and comes back while this looks is another program's: a few rounds at most.
    for (int round = 0; round < 3; ++round) {
        const Found found = readLockFile(lockPath);
        struct stat written;
        if (!found.present) {
            switch (createLockFile(folder, lockPath, written)) {
            case Creation::Created:
                hold(written);
                return true;
            case Creation::Exists:
                continue;
            case Creation::Unwritable:
                return true;
            }
        }
        if (found.pid == 0)
            return false;
        if (found.pid == ::getpid())
            return true;
        if (isAlive(found.pid)) {
            ownerPid = found.pid;
            return false;
        }
        const std::string stale =
            "the lock file " + lockPath + " of pid " + std::to_string(found.pid) + ", which has ended";
        if (replaceStale(folder, lockPath, found.pid, written)) {
            takeOverNote = "took over " + stale;
            hold(written);
            return true;
        }
        // Another taker was first, or the file cannot be replaced: looked at again.
        if (::access(folder.c_str(), W_OK) != 0) {
            takeOverNote = "left " + stale + ": " + std::strerror(errno);
            return true;
        }
    }
    return false;
}

void PortLock::hold(const struct stat& written)
{
    removeLocksWhenTheProgramEnds();
    owned = true;
    fileDevice = written.st_dev;
    fileInode = written.st_ino;
    slot = registerHeld(lockPath, fileDevice, fileInode);
}

void PortLock::release()
{
    if (!owned)
        return;
    if (slot >= 0)
        slotStates[slot].store(Free);
    slot = -1;
    owned = false;
    removeIfOurs(lockPath.c_str(), fileDevice, fileInode);
}

void PortLock::removeAllHeld()
{
    const int savedErrno = errno;
    for (int slot = 0; slot < MaxHeld; ++slot) {
        if (slotStates[slot].load() == Held)
            removeIfOurs(slotPaths[slot], slotDevices[slot], slotInodes[slot]);
    }
    errno = savedErrno;
}
