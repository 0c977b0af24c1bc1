#include "commandassembler.h"

std::optional<std::string> CommandAssembler::push(char byte, bool atControllerSpeed)
{
    if (!atControllerSpeed) {
        ++dropped;
        dropCommand();
        return std::nullopt;
    }
    if (byte == ':') {
        // A colon always starts a command; a half-received one before it is lost.
        dropCommand();
        inCommand = true;
        return std::nullopt;
    }
    if (!inCommand) {
        ++dropped;
        return std::nullopt;
    }
    if (byte == '\n') {
        std::string complete;
        complete.swap(command);
        inCommand = false;
        return complete;
    }
    command.push_back(byte);
    if (command.size() > MaxCommandLength)
        dropCommand();
    return std::nullopt;
}

std::size_t CommandAssembler::takeDroppedCount()
{
    const std::size_t count = dropped;
    dropped = 0;
    return count;
}

void CommandAssembler::dropCommand()
{
    if (inCommand)
        dropped += command.size() + 1; // the colon too
    command.clear();
    inCommand = false;
}
