// A recording that vkr-calibrate --record wrote, read back for a replay. The file is JSON Lines: a
// first line that names the format, then one event per line, each an object with "event" and "t"
// (microseconds since the recording began). It is read line by line and every event is handed to
// the caller as soon as it is read, so that a replay keeps only the compact form it builds; a
// replay may be fed any file, so lines are bounded, times range-checked, and what is not a regular
// file is refused before anything is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One event as read from its line; only the members a replay uses are kept.
struct RecordedEvent
{
    // A member of "in" or "out": its value when it is a number from 0 to 4294967295.
    struct Value
    {
        std::string name;
        std::optional<uint32_t> number;
    };

    std::size_t line = 0;
    std::string event;
    int64_t time = 0;                 // "t", range-checked
    std::optional<int64_t> duration;  // "us", range-checked
    std::string function;             // a call's function
    std::optional<uint32_t> result;   // a call's result, when it is a result code
    bool hasResult = false;           // "result" is there, whatever its value
    std::optional<std::string> bytes; // "bytes" as the bytes they stand for, when they are bytes
    bool hasBytes = false;
    std::vector<Value> in;
    std::vector<Value> out;
};

// A recording of a format version other than RecordingFormat::Version is refused.
class RecordingFile
{
public:
    // A line longer than this is no line the recorder writes.
    static constexpr std::size_t MaxLineBytes = std::size_t(16) << 20;
    // Times past this (about 116 days) are refused; so is a call that took longer than an hour.
    static constexpr int64_t MaxTimeUs = 10'000'000'000'000;
    static constexpr int64_t MaxDurationUs = 3'600'000'000;

    // Takes one event; false (and problem says why) refuses the recording at the event's line.
    using EventHandler = std::function<bool(const RecordedEvent& event, std::string& problem)>;

    // Reads the file and hands every event after the first line to onEvent, in order. Empty lines
    // are skipped. A last line cut short (no line feed, no whole event: the recording program was
    // killed while writing it) is left out, which ending then says. False, and error says why
    // (with the path and the line number), when the file is not a regular file, cannot be read, or
    // holds a line that is no event of a recording.
    static bool read(const std::string& path, const EventHandler& onEvent, std::string& error,
                     std::string& ending);
    // The same for the text of a recording, named path in the messages.
    static bool readText(std::string_view text, const std::string& path, const EventHandler& onEvent,
                         std::string& error, std::string& ending);
};
