#include "recordingfile.h"

#include "recordingformat.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using Json = nlohmann::json;
using namespace RecordingFormat;

// Bytes are written as the characters U+0000 to U+00FF; the parser hands them over as UTF-8.
std::optional<std::string> latin1Bytes(const std::string& utf8)
{
    std::string bytes;
    bytes.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            bytes.push_back(char(lead));
        } else if ((lead == 0xc2 || lead == 0xc3) && i + 1 < utf8.size()) {
            bytes.push_back(char(((lead & 0x1f) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3f)));
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

// Takes one line's JSON as the parser meets it and keeps the members a replay uses, so that no
// document is built: a line of a million numbers costs no more than its text. Nesting deeper than
// the members of "in" and "out" is passed over.
class EventCollector : public nlohmann::json_sax<Json>
{
public:
    explicit EventCollector(RecordedEvent& event) : event(event) {}

    std::string problem;
    bool isObject = false;
    bool hasEvent = false;
    bool hasTime = false;
    std::optional<int64_t> format;

    bool null() override { return scalar(Number()); }
    bool boolean(bool) override { return scalar(Number()); }
    bool number_integer(number_integer_t value) override { return scalar(Number{true, value}); }
    bool number_unsigned(number_unsigned_t value) override
    {
        return scalar(value <= uint64_t(INT64_MAX) ? Number{true, int64_t(value)} : Number());
    }
    bool number_float(number_float_t, const string_t&) override { return scalar(Number()); }
    bool string(string_t& value) override
    {
        if (depth == 1 && member == Member::Event) {
            event.event = std::move(value);
            hasEvent = true;
        } else if (depth == 1 && member == Member::Function) {
            event.function = std::move(value);
        } else if (depth == 1 && member == Member::Bytes) {
            event.hasBytes = true;
            event.bytes = latin1Bytes(value);
        } else {
            return scalar(Number());
        }
        return true;
    }
    bool binary(binary_t&) override { return scalar(Number()); }
    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override
    {
        if (depth == 1)
            member = std::move(name);
        else if (depth == 2 && section)
            memberName = std::move(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override
    {
        // "[json.exception.parse_error.101] parse error at line 1, column 9: ..." without its tag.
        const std::string text = error.what();
        const std::size_t tagEnd = text.find("] ");
        problem = "no JSON: " + (tagEnd == std::string::npos ? text : text.substr(tagEnd + 2));
        return false;
    }

private:
    // A scalar as a number: whole and within int64, or not (fraction, too big, text, ...).
    struct Number
    {
        bool whole = false;
        int64_t value = 0;
    };

    bool scalar(Number number)
    {
        if (depth == 0) {
            problem = "not a JSON object";
            return false;
        }
        if (depth == 2 && section) {
            section->push_back({std::move(memberName), asCode(number)});
            return true;
        }
        if (depth != 1)
            return true;
        if (member == Member::Event) {
            problem = "\"event\" is not text";
            return false;
        }
        if (member == Member::Time || member == Member::Duration) {
            const bool isTime = member == Member::Time;
            const int64_t limit = isTime ? RecordingFile::MaxTimeUs : RecordingFile::MaxDurationUs;
            if (!number.whole || number.value < 0 || number.value > limit) {
                problem = isTime ? "the time \"t\" is no whole number of microseconds from 0 to " +
                                       std::to_string(limit) + " (about 116 days)"
                                 : "the call's duration \"us\" is no whole number of microseconds from 0 "
                                   "to " +
                                       std::to_string(limit) + " (one hour)";
                return false;
            }
            (isTime ? event.time : event.duration.emplace()) = number.value;
            hasTime = hasTime || isTime;
        } else if (member == Member::Result) {
            event.hasResult = true;
            event.result = asCode(number);
        } else if (member == Member::Format) {
            format = number.whole ? std::optional<int64_t>(number.value) : std::nullopt;
        } else if (member == Member::Bytes) {
            event.hasBytes = true;
            event.bytes.reset();
        }
        return true;
    }

    static std::optional<uint32_t> asCode(const Number& number)
    {
        if (!number.whole || number.value < 0 || number.value > int64_t(UINT32_MAX))
            return std::nullopt;
        return uint32_t(number.value);
    }

    bool open(bool isObjectValue)
    {
        if (depth == 0) {
            if (!isObjectValue) {
                problem = "not a JSON object";
                return false;
            }
            isObject = true;
        } else if (depth == 1 && isObjectValue && (member == Member::In || member == Member::Out)) {
            section = member == Member::In ? &event.in : &event.out;
            section->clear();
        } else if (depth == 1 && member == Member::Event) {
            problem = "\"event\" is not text";
            return false;
        } else if (depth == 2 && section) {
            section->push_back({std::move(memberName), std::nullopt});
        } else if (depth == 1 && (member == Member::Time || member == Member::Duration ||
                                  member == Member::Result || member == Member::Bytes)) {
            scalar(Number());
            if (!problem.empty())
                return false;
        }
        ++depth;
        return true;
    }

    bool close()
    {
        --depth;
        if (depth == 1)
            section = nullptr;
        return true;
    }

    RecordedEvent& event;
    std::size_t depth = 0;
    std::string member;     // the member of the event being read
    std::string memberName; // the member of "in" or "out" being read
    std::vector<RecordedEvent::Value>* section = nullptr;
};

// Cuts what it is fed into lines and reads each as it is complete.
class LineReader
{
public:
    LineReader(const std::string& path, const RecordingFile::EventHandler& onEvent, std::string& error,
               std::string& ending)
        : path(path), onEvent(onEvent), error(error), ending(ending)
    {
    }

    // False when the recording is refused, or once a torn last line has ended it.
    bool feed(const char* data, std::size_t size)
    {
        while (size > 0) {
            const auto* lineFeed = static_cast<const char*>(std::memchr(data, '\n', size));
            const std::size_t taken = lineFeed ? std::size_t(lineFeed - data) : size;
            if (line.size() + taken > RecordingFile::MaxLineBytes)
                return refuse(number + 1, "longer than " + std::to_string(RecordingFile::MaxLineBytes >> 20) +
                                              " MiB, which no recording line is");
            line.append(data, taken);
            if (!lineFeed)
                return true;
            data += taken + 1;
            size -= taken + 1;
            if (!takeLine(true))
                return false;
            line.clear();
        }
        return true;
    }

    bool finish()
    {
        if (!line.empty() && !takeLine(false))
            return !ending.empty();
        if (headerSeen)
            return true;
        if (number == 0)
            return refuse(0, "the file is empty");
        return refuse(0, "empty: its " + std::to_string(number) + " line(s) hold nothing");
    }

private:
    bool refuse(std::size_t lineNumber, const std::string& why)
    {
        error = path + ": " + (lineNumber > 0 ? "line " + std::to_string(lineNumber) + ": " : "") + why;
        return false;
    }

    // complete: the line ended in a line feed (the last one of a file may not).
    bool takeLine(bool complete)
    {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            return true;
        event = RecordedEvent();
        event.line = number;
        EventCollector collector(event);
        bool parsed = false;
        try {
            parsed = Json::sax_parse(line, &collector, Json::input_format_t::json, true);
        } catch (const std::exception& exception) {
            collector.problem = std::string("no JSON: ") + exception.what();
        }
        if (!parsed && collector.problem.empty())
            collector.problem = "not a JSON object";
        if (!parsed && !complete) {
            // The file ends in the middle of this line: the recording program did not finish it.
            if (!headerSeen)
                return refuse(number, "cut short: the file ends in its first line");
            ending = path + ": the recording ends in a torn line at line " + std::to_string(number) +
                     "; replaying up to line " + std::to_string(number - 1);
            return false;
        }
        if (!parsed)
            return refuse(number, collector.problem);
        if (!collector.hasEvent)
            return refuse(number, "no event");
        if (!headerSeen) {
            if (event.event != Event::Recording)
                return refuse(number, "not a recording of vkr-calibrate --record");
            if (collector.format != RecordingFormat::Version)
                return refuse(number,
                              "a recording format other than " + std::to_string(RecordingFormat::Version));
            headerSeen = true;
            return true;
        }
        if (!collector.hasTime)
            return refuse(number, "no time \"t\"");
        std::string problem;
        if (!onEvent(event, problem))
            return refuse(number, problem);
        return true;
    }

    const std::string& path;
    const RecordingFile::EventHandler& onEvent;
    std::string& error;
    std::string& ending;
    std::string line;
    std::size_t number = 0; // of the last line taken
    bool headerSeen = false;
    RecordedEvent event;
};

// What a path that is no regular file names, for the message that refuses it.
std::string fileKind(std::filesystem::file_type type)
{
    switch (type) {
    case std::filesystem::file_type::directory:
        return "a directory";
    case std::filesystem::file_type::fifo:
        return "a named pipe (FIFO)";
    case std::filesystem::file_type::character:
        return "a character device";
    case std::filesystem::file_type::block:
        return "a block device";
    case std::filesystem::file_type::socket:
        return "a socket";
    default:
        return "no regular file";
    }
}

} // namespace

bool RecordingFile::read(const std::string& path, const EventHandler& onEvent, std::string& error,
                         std::string& ending)
{
    ending.clear();
    // Looked at before it is opened: opening a FIFO waits for a writer, and a device never ends.
    std::error_code failure;
    const std::filesystem::file_status status = std::filesystem::status(path, failure);
    if (failure) {
        error = path + ": cannot be read: " + failure.message();
        return false;
    }
    if (status.type() != std::filesystem::file_type::regular) {
        error = path + ": " + fileKind(status.type()) + ", not a recording file";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    LineReader reader(path, onEvent, error, ending);
    std::vector<char> buffer(std::size_t(1) << 16);
    for (;;) {
        const std::streamsize count = file.rdbuf()->sgetn(buffer.data(), std::streamsize(buffer.size()));
        if (count <= 0)
            break;
        if (!reader.feed(buffer.data(), std::size_t(count)))
            return !ending.empty();
    }
    return reader.finish();
}

bool RecordingFile::readText(std::string_view text, const std::string& path, const EventHandler& onEvent,
                             std::string& error, std::string& ending)
{
    ending.clear();
    LineReader reader(path, onEvent, error, ending);
    if (!reader.feed(text.data(), text.size()))
        return !ending.empty();
    return reader.finish();
}
