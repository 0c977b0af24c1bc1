#include "hostline.h"

#include <cerrno>
#include <poll.h>

namespace {
// While no host has the slave open, the master reports a hang-up at once on every poll; it is
// looked at again this often instead of being polled in a busy loop.
constexpr int noHostRecheckMs = 10;
} // namespace

HostLine::Event HostLine::wait(int masterDescriptor, int stopDescriptor)
{
    for (;;) {
        if (!hostOnLine) {
            if (stopRequested(stopDescriptor, noHostRecheckMs))
                return Event::Stop;
            pollfd line{masterDescriptor, POLLIN, 0};
            if (::poll(&line, 1, 0) < 0 && errno != EINTR)
                return Event::Failed;
            if (!(line.revents & POLLIN) && (line.revents & POLLHUP))
                continue;
            hostOnLine = true;
            return Event::HostOpened;
        }

        pollfd entries[2] = {{stopDescriptor, POLLIN, 0}, {masterDescriptor, POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Event::Failed;
        }
        if (entries[0].revents)
            return Event::Stop;
        if (entries[1].revents & POLLIN)
            return Event::Input;
        if (entries[1].revents & POLLNVAL)
            return Event::Failed;
        if (entries[1].revents & (POLLHUP | POLLERR)) {
            hostOnLine = false;
            return Event::HostClosed;
        }
    }
}

bool HostLine::stopRequested(int stopDescriptor, int timeoutMs)
{
    pollfd entry{stopDescriptor, POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return ready != 0;
}
