#include "callreplay.h"

#include "simcodes.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// Arguments that differ between a recorded run and its replay by nature: the system index the
// library hands out, and the locator, which names the replay instead of the recorded controller.
// The open's option text is checked before a call reaches the replay.
bool comparedArgument(std::string_view name)
{
    return name != "systemIndex" && name != "locator" && name != "options";
}

std::string recordedCall(const JsonValue& call)
{
    std::string text = call["function"].text() + "(";
    const JsonValue& in = call["in"];
    bool first = true;
    for (std::size_t i = 0; i < in.keys().size(); ++i) {
        if (!comparedArgument(in.keys()[i]))
            continue;
        const JsonValue& value = in.elements()[i];
        const std::optional<int64_t> number = value.integer();
        text += (first ? "" : ",") + in.keys()[i] + "=" + (number ? std::to_string(*number) : value.text());
        first = false;
    }
    return text + ")";
}

std::string madeCall(std::string_view function, std::initializer_list<CallReplay::Argument> arguments)
{
    std::string text = std::string(function) + "(";
    bool first = true;
    for (const CallReplay::Argument& argument : arguments) {
        text += (first ? "" : ",") + std::string(argument.name) + "=" + std::to_string(argument.value);
        first = false;
    }
    return text + ")";
}

// The calls made on an opened controller; discovery and the locator's classification come before.
bool isControllerCall(const std::string& function)
{
    return function != "OV_FindSystems" && function != "OV_IO_EnumerateDevices" &&
           function != "OV_IO_GetLocatorInterfaceType";
}

} // namespace

std::shared_ptr<CallReplay> CallReplay::load(const std::string& path, std::string* error)
{
    const std::optional<RecordingFile> recording = RecordingFile::load(path, error);
    if (!recording)
        return nullptr;
    if (!recording->ending().empty())
        std::fprintf(stderr, "libVKRControl: %s\n", recording->ending().c_str());
    auto replay = std::make_shared<CallReplay>();
    for (const JsonValue& event : recording->events()) {
        const std::string function = event["function"].text();
        if (RecordingFile::eventName(event) != "call" || !isControllerCall(function))
            continue;
        if (replay->calls.empty() && function != "OV_OpenSystem")
            continue;
        replay->calls.push_back(event);
    }
    if (replay->calls.empty()) {
        if (error)
            *error = path + ": no OV_OpenSystem call recorded";
        return nullptr;
    }
    return replay;
}

CallReplay::~CallReplay()
{
    if (!departed && next < calls.size())
        depart("after call " + std::to_string(next) + ": the recording goes on with " +
               recordedCall(calls[next]) + ", the tool made no more calls");
}

uint32_t CallReplay::call(std::string_view function, std::initializer_list<Argument> arguments,
                          std::initializer_list<OutValue> outValues)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (departed)
        return SimCode::ReplayDeparted;
    const std::string number = std::to_string(next + 1);
    if (next >= calls.size()) {
        depart("at call " + number + ": the recording has no more calls, the tool called " +
               madeCall(function, arguments));
        return SimCode::ReplayDeparted;
    }
    const JsonValue& recorded = calls[next];
    if (!matches(recorded, function, arguments)) {
        depart("at call " + number + ": the recording has " + recordedCall(recorded) + ", the tool called " +
               madeCall(function, arguments));
        return SimCode::ReplayDeparted;
    }
    ++next;
    lock.unlock();
    // As long as the call took, outside the lock, as a controller's latency holds up no other caller.
    std::this_thread::sleep_for(std::chrono::microseconds(recorded["us"].integer().value_or(0)));
    for (const OutValue& out : outValues) {
        if (const std::optional<uint32_t> value = recorded["out"][out.name].uint32())
            *out.value = *value;
    }
    return recorded["result"].uint32().value_or(SimCode::ReplayDeparted);
}

bool CallReplay::matches(const JsonValue& recorded, std::string_view function,
                         std::initializer_list<Argument> arguments) const
{
    if (recorded["function"].text() != function)
        return false;
    const JsonValue& in = recorded["in"];
    std::size_t compared = 0;
    for (std::size_t i = 0; i < in.keys().size(); ++i)
        compared += comparedArgument(in.keys()[i]) ? 1 : 0;
    if (compared != arguments.size())
        return false;
    for (const Argument& argument : arguments) {
        if (in[argument.name].uint32() != argument.value)
            return false;
    }
    return true;
}

void CallReplay::depart(const std::string& what)
{
    departed = true;
    std::fprintf(stderr, "libVKRControl: the tool departs from the recording %s\n", what.c_str());
}
