#include "serialreplay.h"

#include "commandassembler.h"

SerialReplay SerialReplay::fromRecording(const RecordingFile& recording)
{
    SerialReplay replay;
    // The tool's bytes are cut into commands as the controller's receiver cuts them; the zero byte of
    // the handshake, outside any command, is no command.
    CommandAssembler assembler;
    int64_t lastTime = 0;
    for (const JsonValue& event : recording.events()) {
        const std::string name = RecordingFile::eventName(event);
        const int64_t time = RecordingFile::time(event);
        if (name == "write") {
            for (const char byte : event["bytes"].bytes().value_or(std::string())) {
                if (std::optional<std::string> command = assembler.push(byte, true))
                    replay.exchangeList.push_back({std::move(*command), {}, false, 0});
            }
            lastTime = time;
        } else if (replay.exchangeList.empty()) {
            continue;
        } else if (name == "read") {
            replay.exchangeList.back().reply.push_back(
                {time - lastTime, event["bytes"].bytes().value_or(std::string())});
            lastTime = time;
        } else if (name == "read-failed" && !replay.exchangeList.back().hangUp) {
            replay.exchangeList.back().hangUp = true;
            replay.exchangeList.back().hangUpDelayUs = time - lastTime;
        }
    }
    return replay;
}
