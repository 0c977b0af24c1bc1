#include "simcontroller.h"

#include "simcodes.h"

#include <thread>
#include <utility>

namespace {
constexpr uint32_t highestSensorMode = 2;
}

// Every channel operation checks the channel first, then an injected failure, then the
// controller's own refusals, so an injected code always shows on a valid channel.

SimController::SimController(SimScenario scenario, std::shared_ptr<CallReplay> replay)
    : settings(std::move(scenario)), replay(std::move(replay)), sensorMode(settings.sensorMode)
{
}

uint32_t SimController::open() const
{
    if (replay)
        return replay->call("OV_OpenSystem");
    const uint32_t fault = settings.faultFor(SimOperation::Open);
    if (fault == SimCode::Ok)
        record("handshake");
    return fault;
}

uint32_t SimController::release() const
{
    if (replay)
        return replay->call("OV_ReleaseSystems");
    return settings.faultFor(SimOperation::Release);
}

uint32_t SimController::getNumberOfChannels(uint32_t& channels) const
{
    if (replay)
        return replay->call("OV_GetNumberOfChannels", {}, {{"channels", &channels}});
    if (const uint32_t fault = settings.faultFor(SimOperation::Channels))
        return fault;
    channels = settings.channels;
    return SimCode::Ok;
}

uint32_t SimController::getSensorEnabled(uint32_t& mode) const
{
    if (replay)
        return replay->call("OV_GetSensorEnabled_S", {}, {{"mode", &mode}});
    if (const uint32_t fault = settings.faultFor(SimOperation::GetMode))
        return fault;
    std::lock_guard<std::mutex> lock(mutex);
    mode = sensorMode;
    return SimCode::Ok;
}

uint32_t SimController::setSensorEnabled(uint32_t mode)
{
    if (replay)
        return replay->call("OV_SetSensorEnabled_S", {{"mode", mode}});
    if (const uint32_t fault = settings.faultFor(SimOperation::SetMode))
        return fault;
    if (mode > highestSensorMode)
        return SimCode::InvalidSensorMode;
    std::lock_guard<std::mutex> lock(mutex);
    sensorMode = mode;
    return SimCode::Ok;
}

uint32_t SimController::calibrateSensor(uint32_t channel)
{
    if (replay)
        return replay->call("OV_CalibrateSensor_S", {{"channel", channel}});
    if (!validChannel(channel))
        return SimCode::InvalidChannel;
    if (const uint32_t fault = settings.faultFor(SimOperation::Calibrate, channel))
        return fault;
    if (settings.channelsWithoutSensor.count(channel))
        return SimCode::NoSensor;

    std::lock_guard<std::mutex> lock(mutex);
    if (sensorMode == 0)
        return SimCode::SensorsDisabled;
    ChannelState& state = channelStates[channel];
    state.calibrating = true;
    state.started = Clock::now();
    state.statusReads = 0;
    record("started", channel);
    return SimCode::Ok;
}

uint32_t SimController::getStatus(uint32_t channel, uint32_t& status)
{
    if (replay)
        return replay->call("OV_GetStatus_S", {{"channel", channel}}, {{"status", &status}});
    // The delay of the controller's reply; outside the lock so it holds up no other caller.
    if (settings.statusLatencyMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(settings.statusLatencyMs));
    if (!validChannel(channel))
        return SimCode::InvalidChannel;

    std::lock_guard<std::mutex> lock(mutex);
    const auto found = channelStates.find(channel);
    if (found == channelStates.end()) {
        status = StatusIdle;
        return SimCode::Ok;
    }
    ChannelState& state = found->second;
    const SimOperation read = state.statusReads == 0 ? SimOperation::Status : SimOperation::Poll;
    if (state.statusReads < UINT32_MAX)
        ++state.statusReads;
    status = currentStatus(state, channel, Clock::now());
    return settings.faultFor(read, channel);
}

uint32_t SimController::stop(uint32_t channel)
{
    if (replay)
        return replay->call("OV_Stop_S", {{"channel", channel}});
    if (!validChannel(channel))
        return SimCode::InvalidChannel;
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = channelStates.find(channel);
    // A calibration whose time ran out before the stop arrived is noted completed, not stopped.
    const bool running = found != channelStates.end() &&
                         currentStatus(found->second, channel, Clock::now()) == StatusCalibrating;
    if (const uint32_t fault = settings.faultFor(SimOperation::Stop, channel)) {
        record("stop-refused", channel, fault);
        return fault;
    }
    if (running) {
        found->second.calibrating = false;
        record("stopped", channel);
    }
    return SimCode::Ok;
}

uint32_t SimController::currentStatus(ChannelState& state, uint32_t channel, Clock::time_point now) const
{
    if (state.calibrating && !settings.stuckChannels.count(channel) &&
        now - state.started >= std::chrono::milliseconds(settings.calibrationTimeMs)) {
        state.calibrating = false;
        record("completed", channel);
    }
    return state.calibrating ? StatusCalibrating : StatusIdle;
}

void SimController::keepTruth(std::shared_ptr<SimTruth> account, std::string name)
{
    std::lock_guard<std::mutex> lock(mutex);
    truth = std::move(account);
    truthName = std::move(name);
}

void SimController::noteTruth(std::string_view event)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (notedOnce.insert(std::string(event)).second)
        record(event);
}

void SimController::accountRunning(std::string_view event)
{
    std::lock_guard<std::mutex> lock(mutex);
    record(event);
    const Clock::time_point now = Clock::now();
    for (auto& [channel, state] : channelStates) {
        if (currentStatus(state, channel, now) == StatusCalibrating)
            record("running", channel);
    }
}

void SimController::record(std::string_view event, std::optional<uint32_t> channel,
                           std::optional<uint32_t> code) const
{
    if (truth)
        truth->record(truthName, event, channel, code);
}
