#include "replayserver.h"

#include "printable.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>

namespace {

using Clock = std::chrono::steady_clock;

// As PtyServer: while no host has the slave open, the master is looked at again this often.
constexpr int noHostRecheckMs = 10;

bool stopRequested(int stopDescriptor, int timeoutMs)
{
    pollfd entry{stopDescriptor, POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return ready != 0;
}

} // namespace

ReplayServer::ReplayServer(const SerialReplay& replay, double speed, std::ostream& report, std::ostream* log)
    : replay(replay), speed(speed), report(report), log(log)
{
}

PtyServer::End ReplayServer::serve(int stopDescriptor)
{
    bool hostOnLine = false;
    for (;;) {
        if (!hostOnLine) {
            if (stopRequested(stopDescriptor, noHostRecheckMs))
                break;
            pollfd line{master.descriptor(), POLLIN, 0};
            if (::poll(&line, 1, 0) < 0 && errno != EINTR)
                return PtyServer::End::Failed;
            if (!(line.revents & POLLIN) && (line.revents & POLLHUP))
                continue;
            hostOnLine = true;
        }
        pollfd entries[2] = {{stopDescriptor, POLLIN, 0}, {master.descriptor(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return PtyServer::End::Failed;
        }
        if (entries[0].revents)
            break;
        if (entries[1].revents & POLLIN) {
            const Step step = serveInput(stopDescriptor);
            if (step == Step::Stop)
                break;
            if (step == Step::HangUp)
                return PtyServer::End::HungUp;
            if (step == Step::Fail)
                return PtyServer::End::Failed;
            continue;
        }
        if (entries[1].revents & (POLLHUP | POLLERR))
            hostOnLine = false;
    }
    // A tool that stopped short of the recording departs from it too.
    if (!hasDeparted && next < replay.exchanges().size())
        depart("after command " + std::to_string(next) + ": the recording goes on with \"" +
               printable(replay.exchanges()[next].command) + "\", the tool sent nothing more");
    return PtyServer::End::Stopped;
}

ReplayServer::Step ReplayServer::serveInput(int stopDescriptor)
{
    char chunk[512];
    const ssize_t count = master.read(chunk, sizeof chunk);
    for (ssize_t i = 0; i < count; ++i) {
        // Every command counts, at whatever speed it came: the recording holds what the tool sent,
        // not what a controller could make of it.
        const std::optional<std::string> command = assembler.push(chunk[i], true);
        if (!command)
            continue;
        const Step step = answer(*command, stopDescriptor);
        if (step != Step::Continue)
            return step;
    }
    return Step::Continue;
}

ReplayServer::Step ReplayServer::answer(const std::string& command, int stopDescriptor)
{
    logLine("in  :" + printable(command));
    if (hasDeparted)
        return Step::Continue;
    const std::size_t number = next + 1;
    if (next >= replay.exchanges().size()) {
        depart("at command " + std::to_string(number) +
               ": the recording has no more commands, the tool sent \"" + printable(command) + "\"");
        return Step::Continue;
    }
    const SerialReplay::Exchange& exchange = replay.exchanges()[next++];
    if (exchange.command != command) {
        depart("at command " + std::to_string(number) + ": the recording has \"" +
               printable(exchange.command) + "\", the tool sent \"" + printable(command) + "\"");
        return Step::Continue;
    }
    deadline = Clock::now();
    for (const SerialReplay::Chunk& chunk : exchange.reply) {
        if (!waitFor(chunk.delayUs, stopDescriptor))
            return Step::Stop;
        if (!master.write(chunk.bytes.data(), chunk.bytes.size()))
            return Step::Fail;
        logLine("out " + printable(chunk.bytes));
    }
    if (exchange.hangUp) {
        if (!waitFor(exchange.hangUpDelayUs, stopDescriptor))
            return Step::Stop;
        logLine("hanging up the line, as the recording does");
        master.close();
        return Step::HangUp;
    }
    return Step::Continue;
}

bool ReplayServer::waitFor(int64_t delayUs, int stopDescriptor)
{
    // Deadlines add up from the command on, so the gaps do not drift by the time each write takes.
    deadline += std::chrono::microseconds(int64_t(double(std::max<int64_t>(delayUs, 0)) / speed));
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return true;
    return !stopRequested(stopDescriptor, int(std::min<int64_t>(left, INT_MAX)));
}

void ReplayServer::depart(const std::string& what)
{
    hasDeparted = true;
    report << "vkr-sim: the tool departs from the recording " << what << std::endl;
}

void ReplayServer::logLine(const std::string& text)
{
    if (log)
        *log << "vkr-sim: " << text << std::endl;
}
