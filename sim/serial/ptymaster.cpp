#include "ptymaster.h"

#include "termiossettings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
// A host that reads nothing fills the line; past this the reply is given up.
constexpr int writeStallBoundMs = 5000;
} // namespace

PtyMaster::~PtyMaster()
{
    close();
}

bool PtyMaster::open(std::string& error, const std::string& link)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    const char* name = nullptr;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || (name = ::ptsname(master)) == nullptr ||
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        error = std::string("pseudo-terminal set-up: ") + std::strerror(errno);
        ::close(master);
        return false;
    }
    // The slave starts cooked; the host makes it raw when it opens the port. Until then there
    // is nothing on the line, so the master leaves the settings alone.
    // A master whose slave was never opened reports no hang-up, so it would look as if a host
    // were already on the line. Opening and closing the slave once puts it into the state it is in
    // between two hosts.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0)
        ::close(slave);
    if (!link.empty() && ::symlink(name, link.c_str()) != 0) {
        error = "cannot link " + link + " to " + name + ": " + std::strerror(errno);
        ::close(master);
        return false;
    }
    fd = master;
    path = link.empty() ? name : link;
    linkPath = link;
    return true;
}

void PtyMaster::close()
{
    if (fd < 0)
        return;
    if (!linkPath.empty())
        ::unlink(linkPath.c_str());
    linkPath.clear();
    ::close(fd);
    fd = -1;
}

ssize_t PtyMaster::read(char* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t count = ::read(fd, buffer, size);
        if (count >= 0)
            return count > 0 ? count : -1;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1; // EIO: every slave is closed
    }
}

PtyMaster::Written PtyMaster::write(const char* data, std::size_t size, int stopDescriptor)
{
    std::size_t written = 0;
    while (written < size) {
        const ssize_t count = ::write(fd, data + written, size - written);
        if (count > 0) {
            written += std::size_t(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EIO)
            return Written::HungUp;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Written::Stalled;
        // A master whose host has gone reports the hang-up at once and for ever: it ends the reply
        // here, for polling on would spin and never reach the stall bound.
        pollfd entries[2] = {{fd, POLLOUT, 0}, {stopDescriptor, POLLIN, 0}};
        const int ready = ::poll(entries, stopDescriptor >= 0 ? 2 : 1, writeStallBoundMs);
        if (ready < 0 && errno == EINTR)
            continue; // a signal: its handler made the stop descriptor readable, seen next round
        if (ready <= 0)
            return Written::Stalled;
        if (stopDescriptor >= 0 && entries[1].revents)
            return Written::Stopped;
        if (entries[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return Written::HungUp;
    }
    return Written::All;
}

uint32_t PtyMaster::hostBaudRate() const
{
    termios line;
    uint32_t rate = 0;
    if (fd < 0 || ::tcgetattr(fd, &line) != 0 || !TermiosSettings::baudRateForSpeed(cfgetospeed(&line), rate))
        return 0;
    return rate;
}
