#include "pseudoterminal.h"

#include <algorithm>
#include <chrono>
#include <poll.h>

namespace {

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
    std::string error;
    master.open(error);
}

bool PseudoTerminal::receive(qint64 deadlineMs)
{
    for (;;) {
        char chunk[4096];
        const ssize_t count = master.read(chunk, sizeof chunk);
        if (count > 0) {
            received.append(chunk, int(count));
            return true;
        }
        if (msUntil(deadlineMs) == 0)
            return false;
        if (count == 0) {
            pollfd entry{master.descriptor(), POLLIN, 0};
            ::poll(&entry, 1, msUntil(deadlineMs));
        } else {
            ::poll(nullptr, 0, std::min(noClientRetryMs, msUntil(deadlineMs)));
        }
    }
}

QByteArray PseudoTerminal::readExactly(int count, int timeoutMs)
{
    const qint64 deadline = nowMs() + timeoutMs;
    while (isOpen() && received.size() < count && receive(deadline)) {
    }
    const QByteArray result = received.left(count);
    received.remove(0, result.size());
    return result;
}

QByteArray PseudoTerminal::readUntil(char terminator, int timeoutMs)
{
    const qint64 deadline = nowMs() + timeoutMs;
    while (isOpen() && !received.contains(terminator) && receive(deadline)) {
    }
    const auto end = received.indexOf(terminator);
    const QByteArray result = end < 0 ? received : received.left(end + 1);
    received.remove(0, result.size());
    return result;
}

bool PseudoTerminal::settings(termios& current) const
{
    return isOpen() && ::tcgetattr(master.descriptor(), &current) == 0;
}

bool PseudoTerminal::setSettings(const termios& wanted)
{
    return isOpen() && ::tcsetattr(master.descriptor(), TCSANOW, &wanted) == 0;
}
