// The controller's side of a recorded serial conversation, as vkr-sim --replay plays it: for every
// command the tool sent, the bytes that came back after it, in the chunks the tool's port
// delivered and with the gaps between them, and whether the line hung up.
#pragma once

#include "recordingfile.h"

#include <cstdint>
#include <string>
#include <vector>

class SerialReplay
{
public:
    struct Chunk
    {
        int64_t delayUs = 0; // since the command, or since the chunk before
        std::string bytes;
    };
    struct Exchange
    {
        std::string command; // without ':' and line feed
        std::vector<Chunk> reply;
        // The tool's read failed after the reply: the line hung up, hangUpDelayUs after the last
        // chunk (or the command).
        bool hangUp = false;
        int64_t hangUpDelayUs = 0;
    };

    // The exchanges of the serial events in a recording; library calls are passed over. Bytes read
    // before the first command are dropped: a controller speaks only when asked.
    static SerialReplay fromRecording(const RecordingFile& recording);

    const std::vector<Exchange>& exchanges() const { return exchangeList; }

private:
    std::vector<Exchange> exchangeList;
};
