// A recording that vkr-calibrate --record wrote, read back for a replay: its events in order, each
// a JSON object with "event" and "t" (microseconds since the recording began).
#pragma once

#include "jsonvalue.h"

#include <optional>
#include <string>
#include <vector>

class RecordingFile
{
public:
    // The format version this reader knows; a recording of another version is refused.
    static constexpr int64_t FormatVersion = 1;

    // Reads the file: its first line must name the format, every other line must be an event.
    // Empty lines are skipped. A last line cut short (no line feed, no whole event: the recording
    // program was killed while writing it) is left out, which ending() then says. nullopt, and
    // error says why (with the line number), otherwise.
    static std::optional<RecordingFile> load(const std::string& path, std::string* error = nullptr);

    // The events after the first line, in the order written.
    const std::vector<JsonValue>& events() const { return eventList; }
    // Where a recording cut short ends, for the replay to tell its user; empty for a whole one.
    const std::string& ending() const { return endingNote; }

    static std::string eventName(const JsonValue& event) { return event["event"].text(); }
    static int64_t time(const JsonValue& event) { return event["t"].integer().value_or(0); }

private:
    std::vector<JsonValue> eventList;
    std::string endingNote;
};
