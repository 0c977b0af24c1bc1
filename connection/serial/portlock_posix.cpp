#include "portlock.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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

int registerHeld(const std::string& path)
{
    if (path.size() >= MaxPathLength)
        return -1;
    for (int slot = 0; slot < MaxHeld; ++slot) {
        int expected = Free;
        if (slotStates[slot].compare_exchange_strong(expected, Writing)) {
            std::memcpy(slotPaths[slot], path.c_str(), path.size() + 1);
            slotStates[slot].store(Held);
            return slot;
        }
    }
    return -1; // still removed on close, but not by a signal
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

// Writes the pid into a file of its own and links it in under the lock file's name: the lock file
// appears whole or not at all, and never over one that another program has just made.
Creation createLockFile(const std::string& folder, const std::string& path)
{
    std::string pending = folder + "/.vkr-lock-XXXXXX";
    const int fd = ::mkstemp(&pending[0]);
    if (fd < 0)
        return Creation::Unwritable;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text, std::size_t(length)) == length;
    const bool closed = ::close(fd) == 0;
    Creation creation = Creation::Unwritable;
    if (written && closed) {
        if (::link(pending.c_str(), path.c_str()) == 0)
            creation = Creation::Created;
        else if (errno == EEXIST)
            creation = Creation::Exists;
    }
    ::unlink(pending.c_str());
    return creation;
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
        if (!found.present) {
            switch (createLockFile(folder, lockPath)) {
            case Creation::Created:
                removeLocksWhenTheProgramEnds();
                owned = true;
                slot = registerHeld(lockPath);
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
        if (::unlink(lockPath.c_str()) != 0 && errno != ENOENT) {
            takeOverNote = "left " + stale + ": " + std::strerror(errno);
            return true;
        }
        takeOverNote = "took over " + stale;
    }
    return false;
}

void PortLock::release()
{
    if (!owned)
        return;
    if (slot >= 0)
        slotStates[slot].store(Free);
    slot = -1;
    owned = false;
    ::unlink(lockPath.c_str());
}

void PortLock::removeAllHeld()
{
    const int savedErrno = errno;
    for (int slot = 0; slot < MaxHeld; ++slot) {
        if (slotStates[slot].load() == Held)
            ::unlink(slotPaths[slot]);
    }
    errno = savedErrno;
}
