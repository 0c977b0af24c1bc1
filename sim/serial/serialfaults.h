// What goes wrong on the serial line of a simulated controller behind vkr-sim: noise, damaged or
// slow replies, silence and hang-ups, each aimed at the replies to chosen command words. Added to
// a controller scenario as items of its own (documented in docs/simulator.md).
#pragma once

#include "simscenario.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

class SerialFaults
{
public:
    // Faults that take a list of command words ("GNC+GS") as their value.
    enum class Kind
    {
        Garbage,      // the reply is replaced by a line without ':'
        WrongName,    // the reply carries the name "W"
        WrongCount,   // one value less (one more when the reply has a single value)
        WrongChannel, // the channel value is off by one (0 instead of -1)
        BigValue,     // the last value is 4294967296
        Silent,       // from the first of these commands on, nothing is answered any more
        HangUp        // the line is hung up when one of these commands arrives
    };

    // Takes one scenario item that the controller model does not know, split at its first '='.
    // UnknownKey when the key is not a serial fault, BadValue when its value is malformed.
    SimScenario::ItemResult applyItem(std::string_view key, std::string_view value);

    bool has(Kind kind, std::string_view word) const;
    // Bytes sent before the reply to word; the word's own entry wins over the general one.
    std::string noiseFor(std::string_view word) const;
    // Pause between two bytes of the reply to word, in ms; 0 sends the reply in one write.
    uint32_t byteDelayFor(std::string_view word) const;
    // How many commands are answered before the controller falls silent; none means no limit.
    std::optional<uint32_t> silentAfter() const { return answerLimit; }
    // How long a silence lasts, in ms; none means for good. While it lasts the controller still
    // carries out what it is told, only its replies are lost; then it answers again.
    std::optional<uint32_t> silenceLength() const { return silenceMs; }
    // How many commands are answered before the next one hangs the line up; none means no limit.
    std::optional<uint32_t> hangUpAfter() const { return hangUpLimit; }

    // The command words the simulated controller knows, as they are written in fault items.
    static bool isCommandWord(std::string_view word);
    // Words whose reply carries a channel (or -1): the ones wrongchannel can aim at.
    static bool replyHasChannel(std::string_view word);

private:
    bool applyTargets(Kind kind, std::string_view words);

    std::map<Kind, std::set<std::string, std::less<>>> targets;
    // Keyed by command word; the empty word holds the entry for every command.
    std::map<std::string, std::string, std::less<>> noise;
    std::map<std::string, uint32_t, std::less<>> byteDelays;
    std::optional<uint32_t> answerLimit;
    std::optional<uint32_t> hangUpLimit;
    std::optional<uint32_t> silenceMs;
};
