// The simulated controller's own account of what happened to it, for a harness that checks the
// tool's log and report against it: one JSON object per line, appended to a file. Each line goes
// out in one write on a descriptor opened for appending, so lines from several controllers and
// processes sharing the file never mix, and a process killed mid-run leaves only whole lines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class SimTruth
{
public:
    // The file named by the environment variable VKR_SIM_TRUTH, opened once per process; null
    // when the variable is unset or empty or the file cannot be opened (then nothing is kept).
    static std::shared_ptr<SimTruth> fromEnvironment();
    // The file at path, created if need be; null when it cannot be opened.
    static std::shared_ptr<SimTruth> open(const std::string& path);

    explicit SimTruth(int descriptor) : descriptor(descriptor) {}
    ~SimTruth();
    SimTruth(const SimTruth&) = delete;
    SimTruth& operator=(const SimTruth&) = delete;

    // {"channel":C,"code":R,"controller":"…","event":"…","pid":P,"t":MICROSECONDS} with the channel
    // and the code only where given; t is the wall clock, so files of several processes line up.
    void record(std::string_view controller, std::string_view event, std::optional<uint32_t> channel = {},
                std::optional<uint32_t> code = {});

    // The line record() writes, without its time and process; a JSON string escapes quotes,
    // backslashes and control characters, other bytes pass unchanged.
    static std::string line(std::string_view controller, std::string_view event,
                            std::optional<uint32_t> channel, std::optional<uint32_t> code,
                            int64_t microseconds, long pid);

private:
    const int descriptor;
};
