// The words of a conversation recording, spelled once for the recorder that writes it and the
// replays that read it: the format's version, each event's name and the members the readers look
// at. A recording is JSON Lines: a first line naming the format, then one event per line. Qt-free,
// so that the stand-in controller libraries can read recordings without Qt.
#pragma once

namespace RecordingFormat {

// Raised when a reader could no longer read the events as written.
constexpr int Version = 1;

namespace Event {
constexpr const char* Recording = "recording";      // the first line: the tool and the format
constexpr const char* Call = "call";                // one call of a controller library function
constexpr const char* Open = "open";                // the serial port opened
constexpr const char* OpenFailed = "open-failed";   // the serial port could not be opened
constexpr const char* Close = "close";              // the serial port closed
constexpr const char* Write = "write";              // bytes sent whole
constexpr const char* WriteFailed = "write-failed"; // bytes not sent whole
constexpr const char* Read = "read";                // bytes received
constexpr const char* Timeout = "timeout";          // a reply did not come in time
constexpr const char* ReadFailed = "read-failed";   // the line could not be read (hung up)
constexpr const char* Abort = "abort";              // the run was told to stop
} // namespace Event

namespace Member {
constexpr const char* Event = "event";
constexpr const char* Time = "t";          // microseconds since the recording began
constexpr const char* Duration = "us";     // how long a call took, in microseconds
constexpr const char* Format = "format";   // the first line's format version
constexpr const char* Tool = "tool";       // the first line's program name
constexpr const char* Version = "version"; // the first line's program version
constexpr const char* Function = "function";
constexpr const char* In = "in";
constexpr const char* Out = "out";
constexpr const char* Result = "result";
constexpr const char* Bytes = "bytes";
constexpr const char* Port = "port";
constexpr const char* Baud = "baud";
constexpr const char* Code = "code";
constexpr const char* Error = "error";
} // namespace Member

} // namespace RecordingFormat
