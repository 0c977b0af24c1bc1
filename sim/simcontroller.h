// A simulated positioning controller that behaves as its scenario says. Every operation returns a
// result code (0 on success, see simcodes.h) and may be called from any thread.
#pragma once

#include "callreplay.h"
#include "simscenario.h"
#include "simtruth.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class SimController
{
public:
    // Channel status values: 6 while a channel calibrates, 0 otherwise.
    static constexpr uint32_t StatusIdle = 0;
    static constexpr uint32_t StatusCalibrating = 6;

    // With a replay, every operation returns what the replayed recording says instead.
    explicit SimController(SimScenario scenario, std::shared_ptr<CallReplay> replay = nullptr);

    const SimScenario& scenario() const { return settings; }

    // Connecting to and letting go of the controller: 0, or the injected fail-open/fail-release
    // code. They change no state; the owner decides what an open or released controller is.
    uint32_t open() const;
    uint32_t release() const;

    uint32_t getNumberOfChannels(uint32_t& channels) const;
    uint32_t getSensorEnabled(uint32_t& mode) const;
    // Modes 0 (disabled), 1 (enabled) and 2 (power save); anything else is InvalidSensorMode.
    uint32_t setSensorEnabled(uint32_t mode);
    // Starts (or restarts) the calibration of a channel. NoSensor for a channel without a sensor,
    // SensorsDisabled while the sensor mode is 0.
    uint32_t calibrateSensor(uint32_t channel);
    // Takes the scenario's latency, outside the lock. An injected status or poll failure returns
    // its code but still writes the channel's real status, so a wait loop that ignores the code
    // still sees the calibration end.
    uint32_t getStatus(uint32_t channel, uint32_t& status);
    // Ends a running calibration (also of a stuck channel); 0 for an idle channel too.
    uint32_t stop(uint32_t channel);
    // Whether no call can reach the controller any more: a replay that has left its recording.
    bool gone() const { return replay && replay->hasDeparted(); }

    // Where the controller keeps its own account of events (see simtruth.h), under name; none by
    // default. The account has the handshake, every calibration started, completed and stopped,
    // and every stop refused.
    void keepTruth(std::shared_ptr<SimTruth> truth, std::string name);
    // Notes an event of the line in the account ("silent", "hangup"), once each.
    void noteTruth(std::string_view event);
    // Notes that the line closed ("closed") or the controller ended ("ended"), then each channel
    // that is calibrating at that moment ("running"); a calibration whose time ran out unseen is
    // noted completed first.
    void accountRunning(std::string_view event);

private:
    using Clock = std::chrono::steady_clock;

    struct ChannelState
    {
        bool calibrating = false;
        Clock::time_point started;
        // Status reads since the calibration started: the first is "status", later ones "poll".
        uint32_t statusReads = 0;
    };

    bool validChannel(uint32_t channel) const { return channel < settings.channels; }
    // Also notes a calibration that has just been found complete.
    uint32_t currentStatus(ChannelState& state, uint32_t channel, Clock::time_point now) const;
    void record(std::string_view event, std::optional<uint32_t> channel = {},
                std::optional<uint32_t> code = {}) const;

    const SimScenario settings;
    const std::shared_ptr<CallReplay> replay;
    mutable std::mutex mutex;
    uint32_t sensorMode;
    // Only channels that were ever calibrated, so a huge channel count costs nothing.
    std::map<uint32_t, ChannelState> channelStates;
    std::shared_ptr<SimTruth> truth;
    std::string truthName;
    std::set<std::string, std::less<>> notedOnce;
};
