#include "replayserver.h"

#include "hostline.h"
#include "printable.h"

#include <algorithm>
#include <climits>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

ReplayServer::ReplayServer(const SerialReplay& replay, double speed, std::ostream& report, std::ostream* log)
    : replay(replay), speed(speed), report(report), log(log)
{
}

PtyServer::End ReplayServer::serve(int stopDescriptor)
{
    HostLine line;
    bool stopped = false;
    while (!stopped) {
        switch (line.wait(master.descriptor(), stopDescriptor)) {
        case HostLine::Event::HostOpened:
        case HostLine::Event::HostClosed:
            break;
        case HostLine::Event::Stop:
            stopped = true;
            break;
        case HostLine::Event::Failed:
            return PtyServer::End::Failed;
        case HostLine::Event::Input:
            switch (serveInput(stopDescriptor)) {
            case Step::Continue:
                break;
            case Step::Stop:
                stopped = true;
                break;
            case Step::HangUp:
                return PtyServer::End::HungUp;
            case Step::Fail:
                return PtyServer::End::Failed;
            }
            break;
        }
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
    return !HostLine::stopRequested(stopDescriptor, int(std::min<int64_t>(left, INT_MAX)));
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
