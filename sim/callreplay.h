// The controller library's side of a recorded conversation, as a "sim:" scenario's replay=FILE plays
// it: the calls to an opened controller, from OV_OpenSystem on, each answered with its recorded
// result and out-values after as long as it took. Calls are consumed in order; the first call
// that is not the next recorded one (another function or other arguments; the system index and
// the locator are not compared) is a departure: reported on standard error and answered with
// SimCode::ReplayDeparted, as is every call after it. A recorded value that is no number the call
// can hand out is reported at the call that uses it, with its line, and answered the same way.
// A recorded abort is held: the status reads the run was making when it was aborted are answered
// as the last of them for as long as the replayed run makes them, and a replayed run aborted
// sooner skips the rest of them, so that an abort at the same point replays as it ran.
#pragma once

#include "recordingfile.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CallReplay
{
public:
    struct Argument
    {
        const char* name;
        uint32_t value;
    };
    struct OutValue
    {
        const char* name;
        uint32_t* value;
    };

    // Reads the recording; null, and error says why, when it cannot be read or holds no
    // OV_OpenSystem call. Where a recording cut short ends is said on standard error.
    static std::shared_ptr<CallReplay> load(const std::string& path, std::string* error = nullptr);
    // The same for the text of a recording.
    static std::shared_ptr<CallReplay> fromText(std::string_view text, const std::string& path,
                                                std::string* error = nullptr);
    // A tool that stopped short of the recording departs from it too: said here, at the latest.
    ~CallReplay();

    // Plays the next recorded call, when it is this one.
    uint32_t call(std::string_view function, std::initializer_list<Argument> arguments = {},
                  std::initializer_list<OutValue> outValues = {});

    // Ends at once every call that is waiting out its recorded duration, in every replay of the
    // process; those calls answer as recorded. For the tool's abort: a call may have taken up to
    // an hour when it was recorded.
    static void interruptWaits();

    std::size_t callCount() const { return calls.size(); }
    // Whether the replay has left its recording (or found it unusable): it answers no call any more,
    // as a controller that is gone.
    bool hasDeparted();

private:
    // Reads a recording through reader into a new replay; null, with the reader's problem, when
    // it cannot be read.
    using Reader = std::function<bool(const RecordingFile::EventHandler& take, std::string& problem,
                                      std::string& ending)>;
    static std::shared_ptr<CallReplay> read(const std::string& path, const Reader& reader,
                                            std::string& problem, std::string& ending);

    // A compact call: its names are indexes into names, its values a range of values.
    struct Value
    {
        uint8_t name;
        bool valid; // a number from 0 to 4294967295
        uint32_t number;
    };
    struct Call
    {
        std::size_t line;
        std::size_t firstValue; // in, then out
        uint32_t durationUs;
        uint32_t result;
        uint8_t function;
        uint8_t inCount;
        uint8_t outCount;
        bool resultValid;
    };

    bool take(const RecordedEvent& event, std::string& problem);
    void findAbortHold();
    bool sameCall(const Call& a, const Call& b) const;
    bool intern(const std::string& name, uint8_t& index, std::string& problem);
    bool matches(const Call& recorded, std::string_view function,
                 std::initializer_list<Argument> arguments) const;
    std::string badValue(const Call& recorded, std::initializer_list<OutValue> outValues) const;
    std::string recordedCall(const Call& recorded) const;
    void depart(const std::string& what);
    static void wait(uint32_t durationUs);
    // Waits as the call took and hands out its out-values and result.
    uint32_t answer(const Call& recorded, std::initializer_list<OutValue> outValues);

    std::string path;
    std::vector<std::string> names;
    std::vector<Call> calls;
    std::vector<Value> values;
    std::mutex mutex;
    std::size_t next = 0;
    bool departed = false;
    // The recorded abort: the calls before it, and the first call after it that is no repeat of
    // the call it interrupted (the stop); 0 for none.
    std::size_t callsBeforeAbort = 0;
    bool abortRecorded = false;
    std::size_t abortHold = 0;
};
