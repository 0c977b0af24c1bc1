#include "simscenario.h"

#include <array>
#include <limits>

namespace {

struct OperationName
{
    SimOperation op;
    std::string_view name;
};

constexpr std::array<OperationName, 9> operationNames{{
    {SimOperation::Open, "open"},
    {SimOperation::Release, "release"},
    {SimOperation::Channels, "channels"},
    {SimOperation::GetMode, "getmode"},
    {SimOperation::SetMode, "setmode"},
    {SimOperation::Calibrate, "calibrate"},
    {SimOperation::Status, "status"},
    {SimOperation::Poll, "poll"},
    {SimOperation::Stop, "stop"},
}};

constexpr std::string_view faultPrefix = "fail-";
constexpr uint32_t highestSensorMode = 2;

std::string_view trimmed(std::string_view text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// "A+B+C" into a set of channels; an empty text gives the empty set, which lets a later item
// clear what a preset put there.
bool parseChannelList(std::string_view text, std::set<uint32_t>& channels)
{
    std::set<uint32_t> parsed;
    if (!text.empty()) {
        for (;;) {
            const size_t plus = text.find('+');
            uint32_t channel = 0;
            if (!SimScenario::parseNumber(trimmed(text.substr(0, plus)), channel))
                return false;
            parsed.insert(channel);
            if (plus == std::string_view::npos)
                break;
            text.remove_prefix(plus + 1);
        }
    }
    channels = std::move(parsed);
    return true;
}

} // namespace

std::optional<SimScenario> SimScenario::parse(std::string_view text, std::string* error,
                                              const ExtraItemHandler& extraItem)
{
    SimScenario scenario;
    for (;;) {
        // A recording's path may hold commas: replay= runs to the end.
        const bool isReplay = trimmed(text.substr(0, text.find('='))) == "replay";
        const size_t comma = isReplay ? std::string_view::npos : text.find(',');
        const std::string_view item = trimmed(text.substr(0, comma));
        if (!item.empty()) {
            ItemResult result = scenario.applyItem(item);
            if (result == ItemResult::UnknownKey && extraItem) {
                const size_t equals = item.find('=');
                const std::string_view key = trimmed(item.substr(0, equals));
                const std::string_view value =
                    equals == std::string_view::npos ? std::string_view() : trimmed(item.substr(equals + 1));
                result = extraItem(key, value);
            }
            if (result != ItemResult::Applied) {
                if (error) {
                    *error = result == ItemResult::UnknownKey ? "unknown item: " : "bad value in: ";
                    error->append(item);
                }
                return std::nullopt;
            }
        }
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return scenario;
}

SimScenario::ItemResult SimScenario::applyItem(std::string_view item)
{
    item = trimmed(item);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
        if (item == "demo") {
            applyDemo();
            return ItemResult::Applied;
        }
        return ItemResult::UnknownKey;
    }

    const std::string_view key = trimmed(item.substr(0, equals));
    const std::string_view value = trimmed(item.substr(equals + 1));
    if (key.substr(0, faultPrefix.size()) == faultPrefix)
        return applyFault(key, value);

    uint32_t number = 0;
    if (key == "replay") {
        replayFile = std::string(value);
        return value.empty() ? ItemResult::BadValue : ItemResult::Applied;
    }
    if (key == "nosensor")
        return parseChannelList(value, channelsWithoutSensor) ? ItemResult::Applied : ItemResult::BadValue;
    if (key == "stuck")
        return parseChannelList(value, stuckChannels) ? ItemResult::Applied : ItemResult::BadValue;

    uint32_t* target = nullptr;
    if (key == "channels")
        target = &channels;
    else if (key == "mode")
        target = &sensorMode;
    else if (key == "time")
        target = &calibrationTimeMs;
    else if (key == "latency")
        target = &statusLatencyMs;
    else
        return ItemResult::UnknownKey;

    if (!parseNumber(value, number) || (target == &sensorMode && number > highestSensorMode))
        return ItemResult::BadValue;
    *target = number;
    return ItemResult::Applied;
}

// The preset behind "sim:demo": sensors off at first so the power-save step shows, one channel
// without a sensor, and a calibration slow enough to watch.
void SimScenario::applyDemo()
{
    channels = 4;
    channelsWithoutSensor = {2};
    sensorMode = 0;
    calibrationTimeMs = 1500;
}

// key is "fail-<op>" or "fail-<op>@<channel>"; the channel form only for operations on a channel.
SimScenario::ItemResult SimScenario::applyFault(std::string_view key, std::string_view value)
{
    key.remove_prefix(faultPrefix.size());
    const size_t at = key.find('@');
    const std::optional<SimOperation> op = operationFromName(key.substr(0, at));
    if (!op)
        return ItemResult::UnknownKey;

    uint32_t code = 0;
    if (!parseNumber(value, code))
        return ItemResult::BadValue;
    if (at == std::string_view::npos) {
        setFault(*op, code);
        return ItemResult::Applied;
    }
    uint32_t channel = 0;
    if (!operationHasChannel(*op) || !parseNumber(key.substr(at + 1), channel))
        return ItemResult::BadValue;
    setFault(*op, channel, code);
    return ItemResult::Applied;
}

uint32_t SimScenario::faultFor(SimOperation op, uint32_t channel) const
{
    if (operationHasChannel(op)) {
        const auto specific = faults.find({op, channel});
        if (specific != faults.end())
            return specific->second;
    }
    const auto general = faults.find({op, AnyChannel});
    return general == faults.end() ? 0 : general->second;
}

void SimScenario::setFault(SimOperation op, uint32_t code)
{
    faults[{op, AnyChannel}] = code;
}

void SimScenario::setFault(SimOperation op, uint32_t channel, uint32_t code)
{
    faults[{op, channel}] = code;
}

bool SimScenario::parseNumber(std::string_view text, uint32_t& value)
{
    if (text.empty())
        return false;
    uint64_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + uint64_t(c - '0');
        if (number > std::numeric_limits<uint32_t>::max())
            return false;
    }
    value = uint32_t(number);
    return true;
}

std::optional<SimOperation> SimScenario::operationFromName(std::string_view name)
{
    for (const OperationName& entry : operationNames) {
        if (entry.name == name)
            return entry.op;
    }
    return std::nullopt;
}

bool SimScenario::operationHasChannel(SimOperation op)
{
    return op == SimOperation::Calibrate || op == SimOperation::Status || op == SimOperation::Poll ||
           op == SimOperation::Stop;
}
