#include "statuspeer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
// While nobody has the slave open the master reports a hang-up at once; look again this often.
constexpr int noHostRecheckMs = 1;
} // namespace

StatusPeer::~StatusPeer()
{
    if (thread.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
        thread.join();
    }
    for (const int fd : stopPipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool StatusPeer::start(std::string& error)
{
    if (::pipe2(stopPipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (!master.open(error))
        return false;
    thread = std::thread([this] { serve(); });
    return true;
}

void StatusPeer::serve()
{
    std::string pending;
    char chunk[512];
    for (;;) {
        pollfd entries[2] = {{stopPipe[0], POLLIN, 0}, {master.descriptor(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0 && errno != EINTR)
            return;
        if (entries[0].revents)
            return;
        if (!(entries[1].revents & POLLIN)) {
            if (entries[1].revents & POLLHUP)
                ::poll(entries, 1, noHostRecheckMs); // no host yet, or between handshake stages
            continue;
        }
        const ssize_t count = master.read(chunk, sizeof chunk);
        if (count <= 0)
            continue;
        pending.append(chunk, std::size_t(count));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::size_t colon = pending.rfind(':', end);
            if (colon != std::string::npos)
                answer(pending.substr(colon + 1, end - colon - 1));
            pending.erase(0, end + 1);
        }
    }
}

void StatusPeer::answer(const std::string& command)
{
    std::string reply;
    if (command == "GIV")
        reply = ":IV1,0,0\n";
    else if (command == "SCM0")
        reply = ":E-1,0\n";
    else if (command.compare(0, 2, "GS") == 0)
        reply = ":S" + command.substr(2) + ",0\n";
    else
        return; // the speed change is not answered
    master.write(reply.data(), reply.size());
}
