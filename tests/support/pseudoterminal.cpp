#include "pseudoterminal.h"

#include "termiossettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int writeBoundMs = 5000;
// While no client has the line open, the master reports a hang-up at once; it is asked again this often.
constexpr int noClientRetryMs = 5;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int msUntil(qint64 deadlineMs)
{
    return static_cast<int>(std::max<qint64>(0, deadlineMs - nowMs()));
}

} // namespace

PseudoTerminal::PseudoTerminal()
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0)
        return;
    const char* name = nullptr;
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || (name = ::ptsname(fd)) == nullptr ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    master = fd;
    path = name;
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
}

bool PseudoTerminal::write(const QByteArray& data)
{
    if (master < 0)
        return false;
    const qint64 deadline = nowMs() + writeBoundMs;
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t count = ::write(master, data.constData() + written, size_t(data.size() - written));
        if (count > 0) {
            written += count;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN)
            return false;
        pollfd entry{master, POLLOUT, 0};
        if (::poll(&entry, 1, msUntil(deadline)) == 0)
            return false;
    }
    return true;
}

bool PseudoTerminal::receive(qint64 deadlineMs)
{
    for (;;) {
        pollfd entry{master, POLLIN, 0};
        const int ready = ::poll(&entry, 1, msUntil(deadlineMs));
        if (ready == 0)
            return false;
        if (ready > 0 && (entry.revents & POLLIN)) {
            char chunk[4096];
            const ssize_t count = ::read(master, chunk, sizeof chunk);
            if (count > 0) {
                received.append(chunk, int(count));
                return true;
            }
        }
        // No client on the line (the read fails with EIO), or a spurious wake-up.
        if (msUntil(deadlineMs) == 0)
            return false;
        ::poll(nullptr, 0, std::min(noClientRetryMs, msUntil(deadlineMs)));
    }
}

QByteArray PseudoTerminal::readExactly(int count, int timeoutMs)
{
    const qint64 deadline = nowMs() + timeoutMs;
    while (master >= 0 && received.size() < count && receive(deadline)) {
    }
    const QByteArray result = received.left(count);
    received.remove(0, result.size());
    return result;
}

QByteArray PseudoTerminal::readUntil(char terminator, int timeoutMs)
{
    const qint64 deadline = nowMs() + timeoutMs;
    while (master >= 0 && !received.contains(terminator) && receive(deadline)) {
    }
    const auto end = received.indexOf(terminator);
    const QByteArray result = end < 0 ? received : received.left(end + 1);
    received.remove(0, result.size());
    return result;
}

bool PseudoTerminal::settings(termios& current) const
{
    return master >= 0 && ::tcgetattr(master, &current) == 0;
}

bool PseudoTerminal::setSettings(const termios& wanted)
{
    return master >= 0 && ::tcsetattr(master, TCSANOW, &wanted) == 0;
}

uint32_t PseudoTerminal::baudRate() const
{
    termios current;
    uint32_t rate = 0;
    if (!settings(current) || !TermiosSettings::baudRateForSpeed(cfgetospeed(&current), rate))
        return 0;
    return rate;
}

void PseudoTerminal::closeMaster()
{
    if (master < 0)
        return;
    ::close(master);
    master = -1;
}
