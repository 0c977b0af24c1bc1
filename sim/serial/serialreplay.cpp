#include "serialreplay.h"

#include "recordingformat.h"

#include <algorithm>

namespace {
// The tool gives up on a reply after 500 ms without a byte, and records that as a time-out. A longer
// gap with no time-out in it was the tool not reading (held up on a busy or paused machine) while
// the bytes waited, not the line's silence: it is replayed as this, well inside the time-out.
constexpr int64_t LongestWaitedThroughUs = 250000;
} // namespace

std::optional<SerialReplay> SerialReplay::load(const std::string& path, std::string& error,
                                               std::string& ending)
{
    SerialReplay replay;
    const auto take = [&replay](const RecordedEvent& event, std::string& why) {
        return replay.take(event, why);
    };
    if (!RecordingFile::read(path, take, error, ending))
        return std::nullopt;
    replay.findAbortHold();
    return replay;
}

std::optional<SerialReplay> SerialReplay::fromText(std::string_view text, const std::string& path,
                                                   std::string& error, std::string& ending)
{
    SerialReplay replay;
    const auto take = [&replay](const RecordedEvent& event, std::string& why) {
        return replay.take(event, why);
    };
    if (!RecordingFile::readText(text, path, take, error, ending))
        return std::nullopt;
    replay.findAbortHold();
    return replay;
}

void SerialReplay::findAbortHold()
{
    if (!exchangesBeforeAbort || *exchangesBeforeAbort == 0)
        return;
    const std::string& interrupted = exchangeList[*exchangesBeforeAbort - 1].command;
    std::size_t hold = *exchangesBeforeAbort;
    while (hold < exchangeList.size() && exchangeList[hold].command == interrupted)
        ++hold;
    holdAt = hold < exchangeList.size() ? hold : 0;
}

bool SerialReplay::take(const RecordedEvent& event, std::string& problem)
{
    if (event.event == RecordingFormat::Event::Abort && !exchangesBeforeAbort) {
        exchangesBeforeAbort = exchangeList.size();
        return true;
    }
    const bool carriesBytes =
        event.event == RecordingFormat::Event::Write || event.event == RecordingFormat::Event::Read;
    if (carriesBytes && !event.bytes) {
        problem = "\"bytes\" is missing or holds a character above U+00FF";
        return false;
    }
    // Times are range-checked when read, so the gaps cannot overflow; a time that goes back is no gap.
    const int64_t gap = std::max<int64_t>(event.time - lastTime, 0);
    if (event.event == RecordingFormat::Event::Write) {
        for (const char byte : *event.bytes) {
            if (std::optional<std::string> command = assembler.push(byte, true))
                exchangeList.push_back({std::move(*command), {}, false, 0});
        }
        lastTime = event.time;
        timedOut = false;
    } else if (exchangeList.empty()) {
        return true;
    } else if (event.event == RecordingFormat::Event::Timeout) {
        timedOut = true;
    } else if (event.event == RecordingFormat::Event::Read) {
        exchangeList.back().reply.push_back({waitedThrough(gap), *event.bytes});
        lastTime = event.time;
        timedOut = false;
    } else if (event.event == RecordingFormat::Event::ReadFailed && !exchangeList.back().hangUp) {
        exchangeList.back().hangUp = true;
        exchangeList.back().hangUpDelayUs = waitedThrough(gap);
    } else if (event.event == "open-failed" && !exchangeList.back().hangUp) {
        // The port was gone when the tool opened it again (the handshake reopens it): the line hung
        // up after the last command, at a moment the recording cannot tell, so at once.
        exchangeList.back().hangUp = true;
    }
    return true;
}

int64_t SerialReplay::waitedThrough(int64_t gapUs) const
{
    return timedOut ? gapUs : std::min(gapUs, LongestWaitedThroughUs);
}
