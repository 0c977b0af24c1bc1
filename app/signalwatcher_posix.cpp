// The POSIX half of SignalWatcher: signal handlers that write to a socket pair.
#include "signalwatcher.h"

#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {
// [0] is read by the notifier, [1] written by the handler.
int signalSockets[2] = {-1, -1};
// What each watched signal did before, given back when the watcher goes.
struct sigaction previousActions[NSIG];

// The rule for ending at once: set before the handlers are installed, only read by them.
int endArrival = 0;
int endStatus = 0;
char endMessage[512];
std::size_t endMessageLength = 0;
void (*endCleanUp)() = nullptr;
void (*everySignal)() = nullptr;
// The watched signals that have arrived. Lock-free, so that handlers on any thread may count.
std::atomic<int> arrivals{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler's count must be lock-free");

// Only async-signal-safe calls: this may run while any thread holds any lock.
extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (everySignal)
        everySignal();
    if (endArrival > 0 && arrivals.fetch_add(1) + 1 >= endArrival) {
        if (endCleanUp)
            endCleanUp();
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, endMessage, endMessageLength);
        ::_exit(endStatus);
    }
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    // A full socket drops the byte: the signals already queued end the program all the same.
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[1], &number, 1);
    errno = savedErrno;
}
} // namespace

std::vector<int> SignalWatcher::terminationSignals()
{
    return {SIGINT, SIGTERM, SIGHUP};
}

void SignalWatcher::makeWriteFailuresErrors()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void SignalWatcher::endOnTerminationSignals()
{
    for (const int signalNumber : terminationSignals())
        std::signal(signalNumber, SIG_DFL);
}

SignalWatcher::SignalWatcher(EndAtOnce endAtOnce, std::vector<int> signalNumbers, QObject* parent)
    : QObject(parent), watched(std::move(signalNumbers))
{
    endArrival = endAtOnce.arrival;
    endStatus = endAtOnce.status;
    endCleanUp = endAtOnce.cleanUp;
    everySignal = endAtOnce.atEverySignal;
    endMessageLength = std::min(std::strlen(endAtOnce.message), sizeof endMessage);
    std::memcpy(endMessage, endAtOnce.message, endMessageLength);
    arrivals = 0;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0)
        return;
    auto* socketNotifier = new QSocketNotifier(signalSockets[0], QSocketNotifier::Read, this);
    connect(socketNotifier, &QSocketNotifier::activated, this, &SignalWatcher::readPending);
    notifier = socketNotifier;

    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : watched)
        ::sigaction(signalNumber, &action, &previousActions[signalNumber]);
}

SignalWatcher::~SignalWatcher()
{
    if (!notifier)
        return;
    for (const int signalNumber : watched)
        ::sigaction(signalNumber, &previousActions[signalNumber], nullptr);
    delete notifier;
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
}

void SignalWatcher::ignoreWhenGone()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int signalNumber : watched)
        previousActions[signalNumber] = ignore;
}

void SignalWatcher::readPending()
{
    unsigned char number = 0;
    while (::read(signalSockets[0], &number, 1) == 1)
        emit received(number);
}
