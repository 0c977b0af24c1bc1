#include "recordingfile.h"

#include <fstream>

std::optional<RecordingFile> RecordingFile::load(const std::string& path, std::string* error)
{
    const auto refuse = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        return std::nullopt;
    };
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return refuse("cannot be read");
    RecordingFile recording;
    bool headerSeen = false;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty())
            continue;
        std::string problem;
        std::optional<JsonValue> event = JsonValue::parse(line, &problem);
        const std::string where = "line " + std::to_string(number) + ": ";
        // getline() reached the end of the file before a line feed: this is the last line, and
        // a line the recording program did not finish writing.
        if (!event && headerSeen && file.eof()) {
            recording.endingNote = path + ": the recording ends in a torn line at line " +
                                   std::to_string(number) + "; replaying up to line " +
                                   std::to_string(number - 1);
            break;
        }
        if (!event)
            return refuse(where + problem);
        if (event->type() != JsonValue::Type::Object || (*event)["event"].type() != JsonValue::Type::String)
            return refuse(where + "no event");
        if (!headerSeen) {
            if (eventName(*event) != "recording")
                return refuse(where + "not a recording of vkr-calibrate --record");
            if ((*event)["format"].integer() != FormatVersion)
                return refuse(where + "a recording format other than " + std::to_string(FormatVersion));
            headerSeen = true;
            continue;
        }
        recording.eventList.push_back(std::move(*event));
    }
    if (!headerSeen)
        return refuse("empty");
    return recording;
}
