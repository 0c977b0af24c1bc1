#include "replayserver.h"

#include "hostline.h"
#include "printable.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>

namespace {

// The longest wait a recorded gap can ask for (a gap is at most the recording's longest time,
// stretched by the slowest speed); and the deadlines add up saturating, so no input overflows.
constexpr int64_t longestWaitUs = int64_t(double(RecordingFile::MaxTimeUs) / ReplayServer::SlowestSpeed);
// A stop request is looked at at least this often during a wait.
constexpr int64_t stopCheckMs = 1000;

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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
    const std::vector<SerialReplay::Exchange>& exchanges = replay.exchanges();
    const std::size_t hold = replay.abortHold();
    if (hold > 0 && next == hold && command != exchanges[hold].command &&
        command == exchanges[hold - 1].command)
        return play(exchanges[hold - 1], stopDescriptor); // still waiting where the recorded run was aborted
    if (hold > 0 && next < hold && command == exchanges[hold].command) {
        bool onlyRepeats = true;
        for (std::size_t i = next; i < hold && onlyRepeats; ++i)
            onlyRepeats = exchanges[i].command == exchanges[hold - 1].command;
        if (onlyRepeats)
            next = hold; // aborted sooner than recorded, at the same point
    }
    const SerialReplay::Exchange& exchange = exchanges[next++];
    if (exchange.command != command) {
        depart("at command " + std::to_string(number) + ": the recording has \"" +
               printable(exchange.command) + "\", the tool sent \"" + printable(command) + "\"");
        return Step::Continue;
    }
    return play(exchange, stopDescriptor);
}

ReplayServer::Step ReplayServer::play(const SerialReplay::Exchange& exchange, int stopDescriptor)
{
    deadlineUs = nowUs();
    for (const SerialReplay::Chunk& chunk : exchange.reply) {
        if (!waitFor(chunk.delayUs, stopDescriptor))
            return Step::Stop;
        const PtyMaster::Written written =
            master.write(chunk.bytes.data(), chunk.bytes.size(), stopDescriptor);
        logLine("out " + printable(chunk.bytes) +
                (written == PtyMaster::Written::All ? "" : " (not sent whole)"));
        if (written == PtyMaster::Written::HungUp) {
            logLine("host closed the line during the reply; the rest is dropped");
            return Step::Continue;
        }
        if (written == PtyMaster::Written::Stopped)
            return Step::Stop;
        if (written == PtyMaster::Written::Stalled)
            return Step::Fail;
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
    const double scaledUs = double(std::max<int64_t>(delayUs, 0)) / speed;
    const int64_t waitUs = scaledUs < double(longestWaitUs) ? int64_t(scaledUs) : longestWaitUs;
    if (__builtin_add_overflow(deadlineUs, waitUs, &deadlineUs))
        deadlineUs = INT64_MAX;
    for (;;) {
        const int64_t leftUs = deadlineUs - nowUs();
        const int64_t leftMs = leftUs <= 0 ? 0 : std::min<int64_t>(leftUs / 1000 + 1, stopCheckMs);
        if (HostLine::stopRequested(stopDescriptor, int(leftMs)))
            return false;
        if (leftUs <= 0)
            return true;
    }
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
