#include "callreplay.h"

#include "recordingformat.h"
#include "simcodes.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>

namespace {

// Names a recording may use (functions, arguments, out-values); far more than the libraries have.
constexpr std::size_t MaxNames = 255;
constexpr std::size_t MaxNameLength = 64;
constexpr std::size_t MaxValuesPerCall = 255;

// Arguments that differ between a recorded run and its replay by nature: the system index the
// library hands out, and the locator, which names the replay instead of the recorded controller.
// The open's option text is checked before a call reaches the replay.
bool comparedArgument(std::string_view name)
{
    return name != "systemIndex" && name != "locator" && name != "options";
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

// The waits of every replay in the process, so that one abort ends them all.
std::mutex waitMutex;
std::condition_variable waitEnded;
uint64_t interruptions = 0;

} // namespace

std::shared_ptr<CallReplay> CallReplay::read(const std::string& path, const Reader& reader,
                                             std::string& problem, std::string& ending)
{
    auto replay = std::make_shared<CallReplay>();
    replay->path = path;
    const auto take = [&replay](const RecordedEvent& event, std::string& why) {
        return replay->take(event, why);
    };
    if (reader(take, problem, ending))
        return replay;
    replay->departed = true; // nothing was replayed, so nothing departed
    return nullptr;
}

std::shared_ptr<CallReplay> CallReplay::load(const std::string& path, std::string* error)
{
    std::string problem;
    std::string ending;
    const auto reader = [&path](const RecordingFile::EventHandler& take, std::string& problem,
                                std::string& ending) {
        return RecordingFile::read(path, take, problem, ending);
    };
    const std::shared_ptr<CallReplay> replay = read(path, reader, problem, ending);
    if (!replay) {
        if (error)
            *error = problem;
        return nullptr;
    }
    if (!ending.empty())
        std::fprintf(stderr, "libVKRControl: %s\n", ending.c_str());
    if (replay->calls.empty()) {
        if (error)
            *error = path + ": no OV_OpenSystem call recorded";
        return nullptr;
    }
    replay->calls.shrink_to_fit();
    replay->values.shrink_to_fit();
    replay->findAbortHold();
    return replay;
}

std::shared_ptr<CallReplay> CallReplay::fromText(std::string_view text, const std::string& path,
                                                 std::string* error)
{
    std::string problem;
    std::string ending;
    const auto reader = [text, &path](const RecordingFile::EventHandler& take, std::string& problem,
                                      std::string& ending) {
        return RecordingFile::readText(text, path, take, problem, ending);
    };
    const std::shared_ptr<CallReplay> replay = read(path, reader, problem, ending);
    if (!replay || replay->calls.empty()) {
        if (replay)
            replay->departed = true;
        if (error)
            *error = problem;
        return nullptr;
    }
    replay->findAbortHold();
    return replay;
}

void CallReplay::findAbortHold()
{
    if (!abortRecorded || callsBeforeAbort == 0)
        return;
    const Call& interrupted = calls[callsBeforeAbort - 1];
    std::size_t hold = callsBeforeAbort;
    while (hold < calls.size() && sameCall(calls[hold], interrupted))
        ++hold;
    abortHold = hold < calls.size() ? hold : 0;
}

bool CallReplay::sameCall(const Call& a, const Call& b) const
{
    if (a.function != b.function || a.inCount != b.inCount)
        return false;
    for (uint8_t i = 0; i < a.inCount; ++i) {
        const Value& x = values[a.firstValue + i];
        const Value& y = values[b.firstValue + i];
        if (x.name != y.name || x.valid != y.valid || x.number != y.number)
            return false;
    }
    return true;
}

bool CallReplay::take(const RecordedEvent& event, std::string& problem)
{
    if (event.event == RecordingFormat::Event::Abort && !abortRecorded && !calls.empty()) {
        abortRecorded = true;
        callsBeforeAbort = calls.size();
        return true;
    }
    if (event.event != RecordingFormat::Event::Call || !isControllerCall(event.function))
        return true;
    if (calls.empty() && event.function != "OV_OpenSystem")
        return true;
    Call call{event.line,
              values.size(),
              uint32_t(event.duration.value_or(0)),
              event.result.value_or(0),
              0,
              0,
              0,
              event.result.has_value()};
    if (!intern(event.function, call.function, problem))
        return false;
    for (const auto* section : {&event.in, &event.out}) {
        for (const RecordedEvent::Value& value : *section) {
            if (section == &event.in && !comparedArgument(value.name))
                continue;
            uint8_t& count = section == &event.in ? call.inCount : call.outCount;
            if (count == MaxValuesPerCall) {
                problem = "more than " + std::to_string(MaxValuesPerCall) + " values in a call";
                return false;
            }
            Value compact{0, value.number.has_value(), value.number.value_or(0)};
            if (!intern(value.name, compact.name, problem))
                return false;
            values.push_back(compact);
            ++count;
        }
    }
    calls.push_back(call);
    return true;
}

bool CallReplay::intern(const std::string& name, uint8_t& index, std::string& problem)
{
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            index = uint8_t(i);
            return true;
        }
    }
    if (name.size() > MaxNameLength) {
        problem = "a name longer than " + std::to_string(MaxNameLength) + " characters";
        return false;
    }
    if (names.size() == MaxNames) {
        problem = "more than " + std::to_string(MaxNames) + " different names";
        return false;
    }
    index = uint8_t(names.size());
    names.push_back(name);
    return true;
}

CallReplay::~CallReplay()
{
    if (!departed && next < calls.size())
        depart("after call " + std::to_string(next) + ": the recording goes on with " +
               recordedCall(calls[next]) + " (line " + std::to_string(calls[next].line) +
               "), the tool made no more calls");
}

bool CallReplay::hasDeparted()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return departed;
}

void CallReplay::interruptWaits()
{
    {
        const std::lock_guard<std::mutex> lock(waitMutex);
        ++interruptions;
    }
    waitEnded.notify_all();
}

void CallReplay::wait(uint32_t durationUs)
{
    if (durationUs == 0)
        return; // a timed wait would still take a turn of the scheduler
    std::unique_lock<std::mutex> lock(waitMutex);
    const uint64_t seen = interruptions;
    waitEnded.wait_for(lock, std::chrono::microseconds(durationUs), [seen] { return interruptions != seen; });
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
    if (abortHold > 0 && next == abortHold && !matches(calls[next], function, arguments) &&
        matches(calls[abortHold - 1], function, arguments)) {
        // Still waiting where the recorded run was aborted: the interrupted call once more.
        const Call repeated = calls[abortHold - 1];
        lock.unlock();
        return answer(repeated, outValues);
    }
    if (abortHold > 0 && next < abortHold && matches(calls[abortHold], function, arguments)) {
        bool onlyRepeats = true;
        for (std::size_t i = next; i < abortHold && onlyRepeats; ++i)
            onlyRepeats = sameCall(calls[i], calls[abortHold - 1]);
        if (onlyRepeats)
            next = abortHold; // aborted sooner than recorded, at the same point
    }
    const Call& recorded = calls[next];
    const std::string where = "at call " + number + " (line " + std::to_string(recorded.line) + ")";
    if (!matches(recorded, function, arguments)) {
        depart(where + ": the recording has " + recordedCall(recorded) + ", the tool called " +
               madeCall(function, arguments));
        return SimCode::ReplayDeparted;
    }
    const std::string bad = badValue(recorded, outValues);
    if (!bad.empty()) {
        // The recording's fault, not the tool's: nothing more is answered, and nothing blamed.
        departed = true;
        std::fprintf(
            stderr,
            "libVKRControl: %s: line %zu: call %s, %s: %s; answered with %u, and every call after it\n",
            path.c_str(), recorded.line, number.c_str(), madeCall(function, arguments).c_str(), bad.c_str(),
            unsigned(SimCode::ReplayDeparted));
        return SimCode::ReplayDeparted;
    }
    ++next;
    const Call played = recorded;
    lock.unlock();
    return answer(played, outValues);
}

uint32_t CallReplay::answer(const Call& recorded, std::initializer_list<OutValue> outValues)
{
    // As long as the call took, outside the lock, as a controller's latency holds up no other caller.
    wait(recorded.durationUs);
    const Value* recordedOut = values.data() + recorded.firstValue + recorded.inCount;
    for (const OutValue& out : outValues) {
        for (uint8_t i = 0; i < recorded.outCount; ++i) {
            if (names[recordedOut[i].name] == out.name)
                *out.value = recordedOut[i].number;
        }
    }
    return recorded.result;
}

bool CallReplay::matches(const Call& recorded, std::string_view function,
                         std::initializer_list<Argument> arguments) const
{
    if (names[recorded.function] != function || recorded.inCount != arguments.size())
        return false;
    const Value* recordedIn = values.data() + recorded.firstValue;
    for (const Argument& argument : arguments) {
        bool found = false;
        for (uint8_t i = 0; i < recorded.inCount && !found; ++i) {
            // A recorded argument that is no number matches here and is reported as a bad value.
            found = names[recordedIn[i].name] == argument.name &&
                    (!recordedIn[i].valid || recordedIn[i].number == argument.value);
        }
        if (!found)
            return false;
    }
    return true;
}

// What the call would take from the recording that is no number it can hand out; empty when all is.
std::string CallReplay::badValue(const Call& recorded, std::initializer_list<OutValue> outValues) const
{
    if (!recorded.resultValid)
        return "the recorded \"result\" is missing or no number from 0 to 4294967295";
    const Value* recordedValues = values.data() + recorded.firstValue;
    for (uint8_t i = 0; i < recorded.inCount; ++i) {
        if (!recordedValues[i].valid)
            return "the recorded argument \"" + names[recordedValues[i].name] +
                   "\" is no number from 0 to 4294967295";
    }
    for (uint8_t i = recorded.inCount; i < recorded.inCount + recorded.outCount; ++i) {
        for (const OutValue& out : outValues) {
            if (!recordedValues[i].valid && names[recordedValues[i].name] == out.name)
                return "the recorded out-value \"" + names[recordedValues[i].name] +
                       "\" is no number from 0 to 4294967295";
        }
    }
    return std::string();
}

std::string CallReplay::recordedCall(const Call& recorded) const
{
    std::string text = names[recorded.function] + "(";
    const Value* recordedIn = values.data() + recorded.firstValue;
    for (uint8_t i = 0; i < recorded.inCount; ++i) {
        text += (i > 0 ? "," : "") + names[recordedIn[i].name] + "=" +
                (recordedIn[i].valid ? std::to_string(recordedIn[i].number) : std::string("?"));
    }
    return text + ")";
}

void CallReplay::depart(const std::string& what)
{
    departed = true;
    std::fprintf(stderr, "libVKRControl: the tool departs from the recording %s\n", what.c_str());
}
