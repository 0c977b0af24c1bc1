#include "ptypeer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace PeerProtocol;

namespace {

// COM ports from 10 on: only the device namespace ("\\.\COM10") reaches them, so a back-end that opens
// the bare name is caught. The one past the last is never mapped, for the name no port answers to.
constexpr int firstComPort = 10;
constexpr int lastComPort = 98;
constexpr int missingComPort = 99;
// While no client has the line open, the master reports a hang-up at once; it is asked again this often.
constexpr std::chrono::milliseconds noClientRetry{5};
constexpr std::chrono::milliseconds writeBound{5000};
// No case leaves the peer without a request for this long, unless a read of the port under test waits
// for ever (a time-out that never fires, a hang-up nothing notices). That program is then ended, so that
// a fault shows as a failure rather than as a run that never finishes.
constexpr std::chrono::seconds commandSilenceBound{20};

// The peer's own table, not the one of the code under test, so that a wrong speed cannot hide behind
// the same wrong entry on both sides.
struct KnownSpeed
{
    speed_t speed;
    uint32_t baudRate;
};
constexpr KnownSpeed knownSpeeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                                      {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};

int millisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = deadline - std::chrono::steady_clock::now();
    return static_cast<int>(
        std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

bool writeAllTo(int fd, const std::string& bytes, std::chrono::steady_clock::time_point deadline)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN)
            return false;
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, millisecondsUntil(deadline)) == 0)
            return false;
    }
    return true;
}

std::string failure(const std::string& what)
{
    return std::string(error) + ' ' + what;
}

} // namespace

PtyPeer::PtyPeer(std::string dosDevices) : dosDevices(std::move(dosDevices)), nextComPort(firstComPort) {}

PtyPeer::~PtyPeer()
{
    closeLine();
}

void PtyPeer::closeLine()
{
    if (master >= 0)
        ::close(master);
    master = -1;
    scheduled.clear();
}

std::string PtyPeer::openLine(const std::string& flowName)
{
    LinePeer::Flow flow;
    if (!flowFromName(flowName, flow))
        return failure("no such flow control: " + flowName);
    closeLine();
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    const char* name = nullptr;
    if (fd < 0)
        return failure("no pseudo-terminal");
    termios line;
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || (name = ::ptsname(fd)) == nullptr ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 || ::tcgetattr(fd, &line) != 0) {
        ::close(fd);
        return failure("pseudo-terminal not set up");
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    master = fd;
    slavePath = name;

    // Found as a fresh terminal is (cooked), with two stop bits and exactly the flow control asked for,
    // so that the port has to change the one and keep the other.
    line.c_cflag =
        (line.c_cflag & ~tcflag_t(CRTSCTS)) | CSTOPB | (flow == LinePeer::Flow::RtsCts ? CRTSCTS : 0);
    line.c_iflag = (line.c_iflag & ~tcflag_t(IXON | IXOFF | IXANY)) |
                   (flow == LinePeer::Flow::XonXoff ? IXON | IXOFF : 0);
    if (::tcsetattr(master, TCSANOW, &line) != 0)
        return failure("line settings not taken");

    if (dosDevices.empty())
        return std::string(ok) + ' ' + slavePath;
    const int port = nextComPort;
    nextComPort = port == lastComPort ? firstComPort : port + 1;
    const std::string link = dosDevices + "/com" + std::to_string(port);
    ::unlink(link.c_str());
    if (::symlink(slavePath.c_str(), link.c_str()) != 0)
        return failure("cannot map " + link);
    return std::string(ok) + " COM" + std::to_string(port);
}

std::string PtyPeer::settingsReply() const
{
    termios line;
    if (master < 0 || ::tcgetattr(master, &line) != 0)
        return failure("no line");
    uint32_t baudRate = 0;
    for (const KnownSpeed& known : knownSpeeds) {
        if (cfgetospeed(&line) == known.speed && cfgetispeed(&line) == known.speed)
            baudRate = known.baudRate;
    }
    const bool rtsCts = line.c_cflag & CRTSCTS;
    const tcflag_t software = line.c_iflag & (IXON | IXOFF | IXANY);
    const char* flow = "other";
    if (!rtsCts && software == 0)
        flow = flowName(LinePeer::Flow::None);
    else if (rtsCts && software == 0)
        flow = flowName(LinePeer::Flow::RtsCts);
    else if (!rtsCts && software == (IXON | IXOFF))
        flow = flowName(LinePeer::Flow::XonXoff);
    std::ostringstream reply;
    reply << ok << ' ' << baudRate << ' ' << ((line.c_cflag & CSTOPB) ? 2 : 1) << ' ' << flow;
    return reply.str();
}

bool PtyPeer::writeAll(const std::string& bytes)
{
    return master >= 0 && writeAllTo(master, bytes, Clock::now() + writeBound);
}

std::string PtyPeer::readFromPort(std::size_t count, Clock::time_point deadline)
{
    std::string received;
    while (master >= 0 && received.size() < count) {
        char chunk[4096];
        const ssize_t got = ::read(master, chunk, std::min(sizeof chunk, count - received.size()));
        if (got > 0) {
            received.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (Clock::now() >= deadline)
            break;
        if (got < 0 && errno == EIO) { // no client on the line (yet, or any more)
            ::poll(nullptr, 0, std::min<int>(noClientRetry.count(), millisecondsUntil(deadline)));
            continue;
        }
        pollfd entry{master, POLLIN, 0};
        ::poll(&entry, 1, millisecondsUntil(deadline));
    }
    return received;
}

int PtyPeer::answerPort(int count, Clock::time_point deadline)
{
    int answered = 0;
    while (answered < count) {
        const std::string request = readFromPort(1, deadline);
        if (request.size() != 1 || !writeAll(std::string(1, static_cast<char>(request[0] + 1))))
            break;
        ++answered;
    }
    return answered;
}

bool PtyPeer::heldForOtherPrograms() const
{
    const int other = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other < 0)
        return errno == EBUSY; // TIOCEXCL keeps out an opener that is not root
    const bool held = ::flock(other, LOCK_EX | LOCK_NB) != 0;
    ::close(other);
    return held;
}

void PtyPeer::sendWhatIsDue()
{
    const Clock::time_point now = Clock::now();
    for (auto it = scheduled.begin(); it != scheduled.end();) {
        if (it->due <= now) {
            writeAll(it->bytes);
            it = scheduled.erase(it);
        } else {
            ++it;
        }
    }
}

std::string PtyPeer::handle(const std::string& request)
{
    std::istringstream words(request);
    std::string verb;
    words >> verb;
    if (verb == line) {
        std::string flow;
        words >> flow;
        return openLine(flow);
    }
    if (verb == missing) {
        if (dosDevices.empty())
            return std::string(ok) + " vkr-no-such-port";
        ::unlink((dosDevices + "/com" + std::to_string(missingComPort)).c_str());
        return std::string(ok) + " COM" + std::to_string(missingComPort);
    }
    if (verb == settings)
        return settingsReply();
    if (verb == hangUp) {
        closeLine();
        return ok;
    }
    if (verb == held)
        return std::string(ok) + (heldForOtherPrograms() ? " yes" : " no");

    std::string hex;
    std::string bytes;
    if (verb == send) {
        words >> hex;
        return fromHex(hex, bytes) && writeAll(bytes) ? ok : failure("not sent");
    }
    int milliseconds = 0;
    if (verb == sendAfter) {
        words >> milliseconds >> hex;
        if (!fromHex(hex, bytes) || master < 0)
            return failure("nothing to send");
        scheduled.push_back({Clock::now() + std::chrono::milliseconds(milliseconds), bytes});
        return ok;
    }
    std::size_t count = 0;
    if (verb == receive && words >> count >> milliseconds)
        return std::string(ok) + ' ' +
               toHex(readFromPort(count, Clock::now() + std::chrono::milliseconds(milliseconds)));
    if (verb == echo && words >> count >> milliseconds)
        return std::string(ok) + ' ' +
               std::to_string(answerPort(static_cast<int>(count),
                                         Clock::now() + std::chrono::milliseconds(milliseconds)));
    return failure("no such request: " + request);
}

PtyPeer::Served PtyPeer::serve(int in, int out, std::chrono::milliseconds silenceBound)
{
    std::string pending;
    Clock::time_point lastReply = Clock::now();
    for (;;) {
        const std::size_t end = pending.find('\n');
        if (end != std::string::npos) {
            lastRequest = pending.substr(0, end);
            const std::string reply = handle(lastRequest) + '\n';
            pending.erase(0, end + 1);
            if (!writeAllTo(out, reply, Clock::now() + writeBound))
                return Served::Ended;
            lastReply = Clock::now();
            continue;
        }
        sendWhatIsDue();
        std::vector<Clock::time_point> wakeUps;
        for (const Scheduled& next : scheduled)
            wakeUps.push_back(next.due);
        if (silenceBound.count() > 0) {
            if (Clock::now() >= lastReply + silenceBound)
                return Served::WentSilent;
            wakeUps.push_back(lastReply + silenceBound);
        }
        const int waitMs =
            wakeUps.empty() ? -1 : millisecondsUntil(*std::min_element(wakeUps.begin(), wakeUps.end()));
        pollfd entry{in, POLLIN, 0};
        const int ready = ::poll(&entry, 1, waitMs);
        if (ready < 0 && errno != EINTR)
            return Served::Ended;
        if (ready <= 0)
            continue;
        char chunk[4096];
        const ssize_t got = ::read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return Served::Ended; // the other side is done
        pending.append(chunk, static_cast<std::size_t>(got));
    }
}

int PtyPeer::serveCommand(char* const command[])
{
    int requests[2];
    int replies[2];
    if (::pipe2(requests, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0)
        return 127;
    const pid_t child = ::fork();
    if (child < 0)
        return 127;
    if (child == 0) {
        // The command writes its requests on its standard output and reads the replies on its input.
        if (::dup2(replies[0], STDIN_FILENO) < 0 || ::dup2(requests[1], STDOUT_FILENO) < 0)
            ::_exit(127);
        ::execvp(command[0], command);
        ::_exit(127);
    }
    ::close(replies[0]);
    ::close(requests[1]);
    // A command that ends without reading every reply must not take this peer down with it.
    std::signal(SIGPIPE, SIG_IGN);
    if (serve(requests[0], replies[1], commandSilenceBound) == Served::WentSilent) {
        std::cerr << "contract peer: no request for " << commandSilenceBound.count() << " s after \""
                  << lastRequest << "\"; the program waits for ever and is ended\n";
        ::kill(child, SIGKILL);
    }
    ::close(requests[0]);
    ::close(replies[1]);
    closeLine();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
