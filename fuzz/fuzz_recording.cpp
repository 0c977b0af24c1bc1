// Fuzzes the reading of a recording, which a replay takes from anywhere: the line splitting, the
// JSON of each line, the range checks, and both compact forms built from the events (the library
// calls and the serial exchanges). Checks what the readers promise: a refusal says why, and an
// accepted text holds a whole recording.
#include "callreplay.h"
#include "serialreplay.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "recording reader: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    std::string ending;
    const std::optional<SerialReplay> serial = SerialReplay::fromText(text, "r", error, ending);
    if (!serial && error.rfind("r: ", 0) != 0)
        fail("a refusal that does not name the file");
    if (serial && !ending.empty() && ending.find("torn line") == std::string::npos)
        fail("an ending that is no torn line");
    if (serial) {
        for (const SerialReplay::Exchange& exchange : serial->exchanges()) {
            if (exchange.command.size() > CommandAssembler::MaxCommandLength)
                fail("a command longer than the receiver keeps");
            for (const SerialReplay::Chunk& chunk : exchange.reply) {
                if (chunk.delayUs < 0 || chunk.delayUs > RecordingFile::MaxTimeUs)
                    fail("a gap out of range");
            }
        }
    }
    std::string callError;
    const std::shared_ptr<CallReplay> calls = CallReplay::fromText(text, "r", &callError);
    if (calls && calls->callCount() == 0)
        fail("a call replay without calls");
    return 0;
}
