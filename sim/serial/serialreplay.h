// The controller's side of a recorded serial conversation, as vkr-sim --replay plays it: for every
// command the tool sent, the bytes that came back after it, in the chunks the tool's port
// delivered and with the gaps between them, and whether the line hung up.
#pragma once

#include "commandassembler.h"
#include "recordingfile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
        // The tool's read failed after the reply, or its next open found no port: the line hung
        // up, hangUpDelayUs after the last chunk (or the command).
        bool hangUp = false;
        int64_t hangUpDelayUs = 0;
    };

    // The exchanges of the serial events in a recording; library calls are passed over. Bytes read
    // before the first command are dropped: a controller speaks only when asked. nullopt, and error
    // says why (with the line), when the recording cannot be read or its bytes are no bytes; ending
    // says where a recording cut short ends.
    static std::optional<SerialReplay> load(const std::string& path, std::string& error, std::string& ending);
    // The same for the text of a recording.
    static std::optional<SerialReplay> fromText(std::string_view text, const std::string& path,
                                                std::string& error, std::string& ending);

    const std::vector<Exchange>& exchanges() const { return exchangeList; }
    // Where a recorded abort is held: the first exchange after the abort whose command is no
    // repeat of the one the abort interrupted (the stop); 0 when the recording holds no abort.
    // Until the replayed run is aborted too, that interrupted command is answered as before.
    std::size_t abortHold() const { return holdAt; }

private:
    bool take(const RecordedEvent& event, std::string& problem);
    // A gap as it is replayed: as recorded after a time-out, else shortened to what the tool can
    // have waited through.
    int64_t waitedThrough(int64_t gapUs) const;

    std::vector<Exchange> exchangeList;
    // The tool's bytes are cut into commands as the controller's receiver cuts them; the zero byte
    // of the handshake, outside any command, is no command.
    CommandAssembler assembler;
    int64_t lastTime = 0;
    bool timedOut = false; // the tool's read timed out since the last command or chunk
    std::optional<std::size_t> exchangesBeforeAbort;
    std::size_t holdAt = 0;

    void findAbortHold();
};
