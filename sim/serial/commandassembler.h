// The controller's receiver: gathers the bytes that arrive on the line into command lines. A
// command is ':' + text + line feed; what arrives outside a command, or while the host's line
// speed differs from the controller's, is line noise and dropped.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

class CommandAssembler
{
public:
    // Longer lines are no command the controller knows; they are dropped instead of kept growing.
    static constexpr std::size_t MaxCommandLength = 256;

    // Takes one byte. atControllerSpeed tells whether the host sent it at the speed the controller
    // listens at; a byte that was not is garbled on a real line, so it and the command it fell
    // into are dropped. Returns the command text (without ':' and line feed) when the byte ends one.
    std::optional<std::string> push(char byte, bool atControllerSpeed);

    // Bytes dropped as noise since the last call; resets the count.
    std::size_t takeDroppedCount();

private:
    void dropCommand();

    std::string command;
    bool inCommand = false;
    std::size_t dropped = 0;
};
