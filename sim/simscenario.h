// The behaviour of one simulated controller, as written after "sim:" in a locator: channel count,
// sensors, timing and injected failures. Parsed once when the controller is opened.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

// The controller operations a failure can be injected into. Status is the first status read of a
// channel after its calibration started; Poll is every later status read of that calibration.
enum class SimOperation
{
    Open,
    Release,
    Channels,
    GetMode,
    SetMode,
    Calibrate,
    Status,
    Poll,
    Stop
};

class SimScenario
{
public:
    enum class ItemResult
    {
        Applied,
        UnknownKey,
        BadValue
    };

    // Applies, or declines as unknown or as a bad value, an item this class does not know, split at
    // its first '=' (a bare word comes with an empty value). Lets a front end add keys of its own
    // to the same text.
    using ExtraItemHandler = std::function<ItemResult(std::string_view key, std::string_view value)>;

    uint32_t channels = 4;
    std::set<uint32_t> channelsWithoutSensor;
    uint32_t sensorMode = 2;
    uint32_t calibrationTimeMs = 1500;
    std::set<uint32_t> stuckChannels;
    uint32_t statusLatencyMs = 1;
    // A recording of vkr-calibrate --record whose calls the controller replays instead of
    // simulating; empty for none.
    std::string replayFile;

    // Parses a whole scenario: items separated by ',', blanks around items, keys and values
    // ignored, empty items skipped. A "replay=" item takes the rest of the text, commas included, as
    // its path. Items unknown here go to extraItem; the parse fails when an
    // item is malformed, or unknown and not accepted. On failure, error (if given) names the item.
    static std::optional<SimScenario> parse(std::string_view text, std::string* error = nullptr,
                                            const ExtraItemHandler& extraItem = nullptr);

    // Applies one item ("demo" or "key=value") on top of the current settings.
    ItemResult applyItem(std::string_view item);

    // The code injected into op on channel (channel-specific entries win over general ones), or 0.
    // For operations without a channel the channel argument is ignored.
    uint32_t faultFor(SimOperation op, uint32_t channel = 0) const;
    void setFault(SimOperation op, uint32_t code);
    void setFault(SimOperation op, uint32_t channel, uint32_t code);

    // Strict unsigned 32-bit decimal: digits only, no sign, no overflow.
    static bool parseNumber(std::string_view text, uint32_t& value);
    static std::optional<SimOperation> operationFromName(std::string_view name);
    static bool operationHasChannel(SimOperation op);

private:
    void applyDemo();
    ItemResult applyFault(std::string_view key, std::string_view value);

    // General faults under channel AnyChannel, channel-specific ones under their channel.
    static constexpr uint64_t AnyChannel = uint64_t(1) << 32;
    std::map<std::pair<SimOperation, uint64_t>, uint32_t> faults;
};
