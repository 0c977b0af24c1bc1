#include "serialport.h"

#include "portaccess.h"
#include "portlock.h"
#include "termiossettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long close() waits for pending output to leave. A line held up by flow control may never drain;
// after this the port is closed with whatever is still queued.
constexpr milliseconds drainBound{1500};
constexpr milliseconds drainCheckInterval{5};
// Until setReadTimeout is called, a read waits as long as the controller protocol allows for one byte.
constexpr uint32_t defaultReadTimeoutMs = 500;

std::string devicePath(const std::string& name)
{
    if (name.front() == '/')
        return name;
    return "/dev/" + name;
}

// Milliseconds left until the deadline, rounded up so that poll() does not wake just before it, and kept
// within what poll() takes. Zero when the deadline has passed.
int millisecondsUntil(Clock::time_point deadline)
{
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

void pauseFor(milliseconds interval)
{
    ::poll(nullptr, 0, static_cast<int>(interval.count()));
}

// Outcome of waiting for a descriptor to become ready.
enum class Readiness
{
    Ready,
    HungUp,
    TimedOut,
    Failed
};

Readiness waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, millisecondsUntil(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue; // resume with the time that is left
            return Readiness::Failed;
        }
        if (ready == 0)
            return Readiness::TimedOut;
        if (entry.revents & POLLNVAL)
            return Readiness::Failed;
        if (entry.revents & events)
            return Readiness::Ready;
        return Readiness::HungUp; // POLLHUP or POLLERR without the wanted event
    }
}

// The errors a terminal answers with once its device has gone (an unplugged USB adapter answers
// EIO, a vanished device ENXIO or ENODEV); anything else may pass.
bool meansDeviceGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

bool isTerminalDevice(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && ::isatty(fd) == 1;
}

// The terminal the user runs this program in is no controller's line. Taken for one, it would get the
// wake-up zero byte and the commands on its screen, and be left raw at 115200 baud after the program has
// gone. That terminal is the controlling one (tcgetsid also sees through /dev/tty, a device number of its
// own) or one a standard stream is connected to: a program started with setsid, or with its output sent
// to another window, has such a terminal without it being the controlling one.
bool isProgramsOwnTerminal(int fd)
{
    if (::tcgetsid(fd) == ::getsid(0))
        return true;
    struct stat port;
    if (::fstat(fd, &port) != 0)
        return true; // what cannot be looked at is not taken for a line
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat status;
        if (::fstat(stream, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == port.st_rdev)
            return true;
    }
    return false;
}

// The master side of a pseudo-terminal (/dev/ptmx hands out a new one on every open) is the far end of
// a terminal, never a line to a device: a controller cannot be behind it.
bool isPseudoTerminalMaster(int fd)
{
#ifdef TIOCGPTN
    unsigned int number = 0;
    return ::ioctl(fd, TIOCGPTN, &number) == 0; // a pseudo-terminal's client side refuses it
#else
    (void)fd;
    return false;
#endif
}

// Who holds the lock file that keeps the port: "minicom (pid 99) through its lock file ...".
std::string lockHolder(const PortLock& lock)
{
    if (lock.owner() == 0)
        return "held by the lock file " + lock.path() + ", which names no process";
    return "held by " + PortAccess::commandName(lock.owner()) + " (pid " + std::to_string(lock.owner()) +
           ") through its lock file " + lock.path();
}

// A port marked exclusive (TIOCEXCL) by a program that has ended: a pseudo-terminal keeps the mark
// while its other side lives, such as a bridge (socat, vkr-sim) whose client was killed.
const char* const ExclusiveMarkLeft = "marked exclusive by a program that has ended; restart the bridge";

// Whether this process has the device open on a descriptor besides fd: its own mark is not a
// program's that has ended.
bool openElsewhereHere(int fd, const struct stat& device)
{
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return true;
    bool found = false;
    while (const dirent* entry = ::readdir(folder)) {
        const int other = std::atoi(entry->d_name);
        struct stat status;
        if (entry->d_name[0] != '.' && other != fd && other != ::dirfd(folder) &&
            ::fstat(other, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == device.st_rdev)
            found = true;
    }
    ::closedir(folder);
    return found;
}

// The other programs seen holding the device (its real path, and what stat() says of it), for a
// refusal that the system gave without naming them. With none found, the exclusive mark is one left
// behind, unless the look ran out of time first.
std::string heldBy(const std::string& device, const struct stat& status)
{
    bool lookedAtEvery = true;
    const std::string holders = PortAccess::named(
        PortAccess::otherHolders(device, status, std::chrono::milliseconds(300), &lookedAtEvery));
    if (!holders.empty())
        return "held by " + holders + (lookedAtEvery ? "" : " (could not check every program)");
    return lookedAtEvery ? ExclusiveMarkLeft
                         : "held by another program (could not check every program in time to name it)";
}

SerialPort::OpenFailure::Kind kindOfOpenError(int error)
{
    using Kind = SerialPort::OpenFailure::Kind;
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: // a device node without its device (an unplugged adapter, a pseudo-terminal gone)
        return Kind::NotFound;
    case EACCES:
    case EPERM:
        return Kind::PermissionDenied;
    case EBUSY:
        return Kind::Busy;
    case EISDIR:
    case ENOTDIR:
        return Kind::NotASerialPort;
    default:
        return Kind::Other;
    }
}

bool readSettings(int fd, termios& settings)
{
    return ::tcgetattr(fd, &settings) == 0;
}

// Applies the settings and reads them back: tcsetattr succeeds when any part of the change took, so the
// speed and the framing are checked on what the driver really holds.
bool writeSettings(int fd, const termios& wanted)
{
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0)
        return false;
    termios actual;
    if (!readSettings(fd, actual))
        return false;
    const tcflag_t framing = CSIZE | PARENB | CSTOPB;
    return cfgetispeed(&actual) == cfgetispeed(&wanted) && cfgetospeed(&actual) == cfgetospeed(&wanted) &&
           (actual.c_cflag & framing) == (wanted.c_cflag & framing);
}

// The port's exclusive flag belongs to whoever set it; it is only ever cleared by the one that set it.
bool exclusiveFlagSetByOther(int fd)
{
#ifdef TIOCGEXCL
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

// Claims the port: the flock keeps out every program that locks ports (and, unlike TIOCEXCL, also a second
// opener running as root); TIOCEXCL keeps out later openers that do not lock.
bool claimExclusively(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    if (exclusiveFlagSetByOther(fd))
        return false;
    return ::ioctl(fd, TIOCEXCL) == 0;
}

void releaseExclusively(int fd)
{
    // On a pseudo-terminal the flag outlives the descriptor while the other side stays open, and would
    // keep the next opener out.
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
}

// Waits, at most until the deadline, for the driver's queue and then the transmitter to run empty. A
// driver that cannot tell counts as drained. False when output is still held back at the deadline.
bool drainOutput(int fd)
{
    const Clock::time_point deadline = Clock::now() + drainBound;
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        if (Clock::now() >= deadline)
            return false;
        pauseFor(drainCheckInterval);
    }
#if defined(TIOCSERGETLSR) && defined(TIOCSER_TEMT)
    for (;;) {
        unsigned int lineStatus = 0;
        if (::ioctl(fd, TIOCSERGETLSR, &lineStatus) != 0 || (lineStatus & TIOCSER_TEMT))
            break;
        if (Clock::now() >= deadline)
            return false;
        pauseFor(drainCheckInterval);
    }
#endif
    return true;
}

// What a close does to the output: it is waited for within the bound, and dropped when it cannot leave.
// The kernel's own close would otherwise wait for it up to its closing time-out, half a minute by default.
void finishOutput(int fd)
{
    if (!drainOutput(fd))
        ::tcflush(fd, TCOFLUSH);
}

// A descriptor being opened: closed again (and its claim dropped) unless it is handed over.
class PendingDescriptor
{
public:
    explicit PendingDescriptor(int fd) : fd(fd) {}
    ~PendingDescriptor()
    {
        if (fd < 0)
            return;
        if (claimed)
            releaseExclusively(fd);
        ::close(fd);
    }
    PendingDescriptor(const PendingDescriptor&) = delete;
    PendingDescriptor& operator=(const PendingDescriptor&) = delete;

    int release()
    {
        const int handedOver = fd;
        fd = -1;
        return handedOver;
    }

    int fd;
    bool claimed = false;
};

} // namespace

struct SerialPort::Private
{
    int fd = -1;
    std::string name; // as the open was given it, for the observer
    PortLock lock;    // the port's lock file, held from the open to the close
    OpenFailure failure;
    uint32_t readTimeoutMs = defaultReadTimeoutMs;
    bool lineGone = false;
    // The line was found gone (hung up, device removed): it never comes back on this descriptor, so
    // every later write and read fails at once. Without it a write could still pass in the moment
    // between the far end's close waking a reader and the kernel hanging the line up, and the next
    // command would fail as a read instead of a write, depending on timing alone.
    bool gone = false;
    // What one read() brought in beyond the byte handed out; given out before the port is read again.
    char input[512];
    std::size_t inputBegin = 0;
    std::size_t inputEnd = 0;
    // The last read filled the buffer, so the driver may hold more.
    bool inputMayBeWaiting = false;

    // Lets go of the port: its claim, its descriptor, its lock file and the input read ahead.
    void closeDescriptor()
    {
        releaseExclusively(fd);
        ::close(fd); // not retried on EINTR: the descriptor is gone either way on Linux
        fd = -1;
        gone = false;
        lock.release();
        inputBegin = inputEnd = 0;
    }
};

SerialPort::SerialPort() : d(new Private) {}

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::open(const std::string& name, uint32_t baudRate)
{
    using Kind = OpenFailure::Kind;
    // Each refusal keeps its reason, taken right after the call that failed.
    const auto refuse = [&](Kind kind, int systemError, std::string message = std::string()) {
        d->failure = {kind, systemError, message.empty() ? std::strerror(systemError) : std::move(message),
                      kind == Kind::PermissionDenied ? PortAccess::permissionAdvice(devicePath(name))
                                                     : std::string()};
        if (d->fd < 0)
            d->lock.release();
        reportOpen(name, baudRate, false);
        return false;
    };
    if (d->fd >= 0)
        return refuse(Kind::Other, 0, "already open");
    if (name.empty())
        return refuse(Kind::NotFound, 0, "no port name");
    note.clear();

    // Only a terminal is opened: an open alone has effects on some devices (a watchdog starts
    // counting, a modem line is raised), so what the path names is looked at first.
    const std::string path = devicePath(name);
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
        return refuse(kindOfOpenError(errno), errno);
    const std::string notATerminal = PortAccess::terminalRefusal(status.st_mode, status.st_rdev);
    if (!notATerminal.empty())
        return refuse(Kind::NotASerialPort, 0, notATerminal);
    // A lock file of a terminal program that has the port (minicom, picocom, screen) keeps it out too,
    // before the open that would raise the modem lines under that program.
    const std::string device = deviceIdentity(name);
    if (!d->lock.acquire(device))
        return refuse(Kind::Busy, 0, lockHolder(d->lock));
    note = d->lock.note();

    PendingDescriptor port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (port.fd < 0 && errno == EBUSY) // another program marked it exclusive (TIOCEXCL)
        return refuse(Kind::Busy, EBUSY, heldBy(device, status));
    if (port.fd < 0)
        return refuse(kindOfOpenError(errno), errno);
    if (!isTerminalDevice(port.fd))
        return refuse(Kind::NotASerialPort, 0, "not a terminal device");
    // Before anything is claimed or set: a refused terminal must be left exactly as it was found.
    if (isProgramsOwnTerminal(port.fd))
        return refuse(Kind::NotASerialPort, 0, "the terminal this program runs in, not a serial line");
    if (isPseudoTerminalMaster(port.fd))
        return refuse(Kind::NotASerialPort, 0, "a pseudo-terminal master, not a serial line");
    // The locks below keep out only the programs that open after this one, or that lock themselves: a
    // terminal program that already has the port would share the line and swallow the replies.
    // Taken from the terminal opened: the path may have been given to another device since.
    if (::fstat(port.fd, &status) != 0)
        return refuse(Kind::Other, errno);
    bool lookedAtEvery = true;
    const std::string holders = PortAccess::named(
        PortAccess::otherHolders(device, status, std::chrono::milliseconds(300), &lookedAtEvery));
    if (!holders.empty())
        return refuse(Kind::Busy, 0, "held by " + holders);
    termios settings;
    if (!readSettings(port.fd, settings))
        return refuse(Kind::SettingsRefused, errno);
    // Opened all the same (as root), a port whose exclusive mark nobody holds any more has it
    // cleared, so that the mark this program sets is its own.
    if (lookedAtEvery && exclusiveFlagSetByOther(port.fd) && !openElsewhereHere(port.fd, status) &&
        ::flock(port.fd, LOCK_EX | LOCK_NB) == 0 && ::ioctl(port.fd, TIOCNXCL) == 0)
        note +=
            std::string(note.empty() ? "" : "; ") + "cleared the exclusive mark of a program that has ended";
    if (!claimExclusively(port.fd))
        return refuse(Kind::Busy, 0, heldBy(device, status));
    port.claimed = true;
    if (!TermiosSettings::applyLineSettings(settings, baudRate))
        return refuse(Kind::SettingsRefused, 0, "no such speed: " + std::to_string(baudRate) + " baud");
    errno = 0; // a read-back that differs is no system error
    if (!writeSettings(port.fd, settings))
        return refuse(Kind::SettingsRefused, errno, errno ? std::string() : "the line settings did not take");

    d->fd = port.release();
    d->name = name;
    d->inputBegin = d->inputEnd = 0;
    d->failure = OpenFailure();
    reportOpen(name, baudRate, true);
    return true;
}

void SerialPort::removeLockFiles()
{
    PortLock::removeAllHeld();
}

const SerialPort::OpenFailure& SerialPort::openFailure() const
{
    return d->failure;
}

std::string SerialPort::deviceIdentity(const std::string& name)
{
    if (name.empty())
        return name;
    const std::string path = devicePath(name);
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string identity(resolved);
    std::free(resolved);
    return identity;
}

bool SerialPort::isOpen() const
{
    return d->fd >= 0;
}

void SerialPort::close()
{
    if (d->fd < 0)
        return;
    // Output that could not leave within the bound (flow control holding it back, no controller
    // on the line) is dropped.
    finishOutput(d->fd);
    d->closeDescriptor();
    if (observer)
        observer->portClosed();
}

// The descriptor, with its flock, its exclusive mark and the lock file, stays: closed and opened
// again, the port would be free for any program in between, and a device path freed meanwhile (a
// pseudo-terminal hung up) could even name another line by the time of the open.
bool SerialPort::reopen(uint32_t baudRate, std::chrono::milliseconds closedFor)
{
    using Kind = OpenFailure::Kind;
    if (d->fd < 0) {
        d->failure = {Kind::Other, 0, "not open", {}};
        reportOpen(std::string(), baudRate, false);
        return false;
    }
    finishOutput(d->fd);
    d->inputBegin = d->inputEnd = 0;
    if (observer)
        observer->portClosed();
    std::this_thread::sleep_for(closedFor);

    termios settings;
    errno = 0;
    if (d->gone || !readSettings(d->fd, settings)) {
        // A hung-up terminal answers every request with EIO; its line never comes back.
        d->failure = {Kind::NotFound, errno, "the line hung up or its device was removed", {}};
    } else if (!TermiosSettings::applyLineSettings(settings, baudRate)) {
        d->failure = {Kind::SettingsRefused, 0, "no such speed: " + std::to_string(baudRate) + " baud", {}};
    } else if (!writeSettings(d->fd, settings)) {
        d->failure = {Kind::SettingsRefused,
                      errno,
                      errno ? std::strerror(errno) : "the line settings did not take",
                      {}};
    } else {
        d->failure = OpenFailure();
        reportOpen(d->name, baudRate, true);
        return true;
    }
    d->closeDescriptor();
    reportOpen(d->name, baudRate, false);
    return false;
}

void SerialPort::discardInput()
{
    if (d->fd >= 0)
        ::tcflush(d->fd, TCIFLUSH);
    d->inputBegin = d->inputEnd = 0;
    d->inputMayBeWaiting = false;
}

bool SerialPort::write(const char* data, std::size_t size)
{
    const auto done = [&](bool whole) {
        d->gone = d->gone || d->lineGone;
        if (observer)
            observer->bytesWritten(data, size, whole);
        return whole;
    };
    d->lineGone = d->gone;
    if (d->fd < 0 || d->gone)
        return done(false);
    std::size_t written = 0;
    // Set when the port first takes nothing; a command mostly goes in one write, without a clock read.
    std::optional<Clock::time_point> stallDeadline;
    while (written < size) {
        const ssize_t count = ::write(d->fd, data + written, size - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            stallDeadline.reset();
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            d->lineGone = meansDeviceGone(errno);
            return done(false);
        }
        // A port that stops taking bytes (flow control) is still there; one that hangs up is not.
        if (!stallDeadline)
            stallDeadline = Clock::now() + writeStallLimit;
        const Readiness readiness = waitFor(d->fd, POLLOUT, *stallDeadline);
        if (readiness != Readiness::Ready) {
            d->lineGone = readiness == Readiness::HungUp;
            return done(false);
        }
    }
    return done(true);
}

void SerialPort::setReadTimeout(uint32_t milliseconds)
{
    d->readTimeoutMs = milliseconds;
}

bool SerialPort::lineGone() const
{
    return d->lineGone;
}

SerialPort::ReadResult SerialPort::readByte(char& byte)
{
    d->lineGone = false;
    if (d->fd < 0)
        return ReadResult::Failed;
    if (d->inputBegin == d->inputEnd) {
        const ReadResult filled = d->gone ? ReadResult::Failed : fillInput();
        d->lineGone = d->gone = d->gone || d->lineGone;
        reportFill(filled, d->input, d->inputEnd);
        if (filled != ReadResult::Byte)
            return filled;
    }
    byte = d->input[d->inputBegin++];
    return ReadResult::Byte;
}

// Brings in what the driver holds, waiting at most the read time-out for the first byte.
SerialPort::ReadResult SerialPort::fillInput()
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(d->readTimeoutMs);
    // Mostly the input runs dry with a reply's line feed, and the next reply is not there yet: a
    // read first would fail (EAGAIN) and cost a system call per exchange, so the wait comes first.
    // Only a read that filled the buffer may have left bytes in the driver to take at once.
    bool waitFirst = !d->inputMayBeWaiting;
    bool hungUp = false;
    for (;;) {
        if (waitFirst) {
            // poll reports what the driver holds as readable also after a hang-up, so that it is
            // delivered before the hang-up is.
            switch (waitFor(d->fd, POLLIN, deadline)) {
            case Readiness::Ready:
                break;
            case Readiness::HungUp:
                hungUp = true;
                break;
            case Readiness::TimedOut:
                return ReadResult::TimedOut;
            case Readiness::Failed:
                return ReadResult::Failed;
            }
        }
        waitFirst = true;
        const ssize_t count = ::read(d->fd, d->input, sizeof d->input);
        if (count > 0) {
            d->inputBegin = 0;
            d->inputEnd = static_cast<std::size_t>(count);
            d->inputMayBeWaiting = d->inputEnd == sizeof d->input;
            return ReadResult::Byte;
        }
        if (count == 0) {
            d->lineGone = true; // end of file on a terminal: the device is gone
            return ReadResult::Failed;
        }
        if (errno == EINTR) {
            waitFirst = false;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            d->lineGone = meansDeviceGone(errno);
            return ReadResult::Failed;
        }
        if (hungUp) {
            d->lineGone = true; // hung up and nothing left to read
            return ReadResult::Failed;
        }
    }
}
