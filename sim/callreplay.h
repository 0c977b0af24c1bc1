// The controller library's side of a recorded conversation, as a "sim:" scenario's replay=FILE plays
// it: the calls to an opened controller, from OV_OpenSystem on, each answered with its recorded
// result and out-values after as long as it took. Calls are consumed in order; the first call
// that is not the next recorded one (another function or other arguments; the system index and
// the locator are not compared) is a departure: reported on standard error and answered with
// SimCode::ReplayDeparted, as is every call after it.
#pragma once

#include "recordingfile.h"

#include <cstdint>
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
    // A tool that stopped short of the recording departs from it too: said here, at the latest.
    ~CallReplay();

    // Plays the next recorded call, when it is this one.
    uint32_t call(std::string_view function, std::initializer_list<Argument> arguments = {},
                  std::initializer_list<OutValue> outValues = {});

private:
    bool matches(const JsonValue& recorded, std::string_view function,
                 std::initializer_list<Argument> arguments) const;
    void depart(const std::string& what);

    std::vector<JsonValue> calls;
    std::mutex mutex;
    std::size_t next = 0;
    bool departed = false;
};
