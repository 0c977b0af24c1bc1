#include "serialfaults.h"

#include "simscenario.h"

#include <array>

namespace {

constexpr std::array<std::string_view, 9> commandWords{"GIV", "SCM", "CB", "GNC", "GSE",
                                                       "SSE", "CS",  "GS", "S"};
constexpr std::array<std::string_view, 5> wordsWithChannel{"SCM", "SSE", "CS", "GS", "S"};

struct KindName
{
    SerialFaults::Kind kind;
    std::string_view key;
};

constexpr std::array<KindName, 7> kindNames{{
    {SerialFaults::Kind::Garbage, "garbage"},
    {SerialFaults::Kind::WrongName, "wrongname"},
    {SerialFaults::Kind::WrongCount, "wrongcount"},
    {SerialFaults::Kind::WrongChannel, "wrongchannel"},
    {SerialFaults::Kind::BigValue, "bigvalue"},
    {SerialFaults::Kind::Silent, "silent"},
    {SerialFaults::Kind::HangUp, "hangup"},
}};

// Noise goes into a reply line, so it must not end the line early or start a second reply.
bool isNoise(std::string_view bytes)
{
    return !bytes.empty() && bytes.find_first_of(":\n") == std::string_view::npos;
}

// Splits "noise@GNC" into the key and its target word (empty for every command). False when the
// word is not a command word, or names the speed change, which is never answered.
bool splitTarget(std::string_view key, std::string_view& name, std::string& word)
{
    const size_t at = key.find('@');
    name = key.substr(0, at);
    word.clear();
    if (at == std::string_view::npos)
        return true;
    word = std::string(key.substr(at + 1));
    return SerialFaults::isCommandWord(word) && word != "CB";
}

} // namespace

SimScenario::ItemResult SerialFaults::applyItem(std::string_view key, std::string_view value)
{
    using Result = SimScenario::ItemResult;
    const auto applied = [](bool ok) { return ok ? Result::Applied : Result::BadValue; };
    for (const KindName& entry : kindNames) {
        if (entry.key == key)
            return applied(applyTargets(entry.kind, value));
    }
    if (key == "silentafter" || key == "hangupafter" || key == "silentfor") {
        uint32_t limit = 0;
        if (!SimScenario::parseNumber(value, limit))
            return Result::BadValue;
        (key == "silentafter" ? answerLimit : key == "hangupafter" ? hangUpLimit : silenceMs) = limit;
        return Result::Applied;
    }

    std::string_view name;
    std::string word;
    const bool targetKnown = splitTarget(key, name, word);
    if (name != "noise" && name != "slowbytes")
        return Result::UnknownKey;
    if (!targetKnown)
        return Result::BadValue;
    if (name == "noise") {
        if (!isNoise(value))
            return Result::BadValue;
        noise[word] = std::string(value);
        return Result::Applied;
    }
    uint32_t delay = 0;
    if (!SimScenario::parseNumber(value, delay))
        return Result::BadValue;
    byteDelays[word] = delay;
    return Result::Applied;
}

// "A+B+C": every word must be a command word that the fault can act on. The speed change is never
// answered, so only silence and hang-ups can aim at it.
bool SerialFaults::applyTargets(Kind kind, std::string_view words)
{
    std::set<std::string, std::less<>> parsed;
    for (;;) {
        const size_t plus = words.find('+');
        const std::string_view word = words.substr(0, plus);
        if (!isCommandWord(word))
            return false;
        if (word == "CB" && kind != Kind::Silent && kind != Kind::HangUp)
            return false;
        if (kind == Kind::WrongChannel && !replyHasChannel(word))
            return false;
        parsed.emplace(word);
        if (plus == std::string_view::npos)
            break;
        words.remove_prefix(plus + 1);
    }
    targets[kind] = std::move(parsed);
    return true;
}

bool SerialFaults::has(Kind kind, std::string_view word) const
{
    const auto found = targets.find(kind);
    return found != targets.end() && found->second.count(word) > 0;
}

std::string SerialFaults::noiseFor(std::string_view word) const
{
    auto found = noise.find(word);
    if (found == noise.end())
        found = noise.find(std::string_view());
    return found == noise.end() ? std::string() : found->second;
}

uint32_t SerialFaults::byteDelayFor(std::string_view word) const
{
    auto found = byteDelays.find(word);
    if (found == byteDelays.end())
        found = byteDelays.find(std::string_view());
    return found == byteDelays.end() ? 0 : found->second;
}

bool SerialFaults::isCommandWord(std::string_view word)
{
    for (const std::string_view known : commandWords) {
        if (known == word)
            return true;
    }
    return false;
}

bool SerialFaults::replyHasChannel(std::string_view word)
{
    for (const std::string_view known : wordsWithChannel) {
        if (known == word)
            return true;
    }
    return false;
}
