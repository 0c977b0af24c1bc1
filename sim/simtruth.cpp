#include "simtruth.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
constexpr int OpenFlags = _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT;
long processId()
{
    return _getpid();
}
#else
constexpr int OpenFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
long processId()
{
    return static_cast<long>(::getpid());
}
#endif

void appendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

} // namespace

std::shared_ptr<SimTruth> SimTruth::fromEnvironment()
{
    static const std::shared_ptr<SimTruth> truth = [] {
        const char* path = std::getenv("VKR_SIM_TRUTH");
        if (!path || !*path)
            return std::shared_ptr<SimTruth>();
        std::shared_ptr<SimTruth> opened = open(path);
        if (!opened)
            std::fprintf(stderr, "libVKRControl: VKR_SIM_TRUTH: %s cannot be opened; no account is kept\n",
                         path);
        return opened;
    }();
    return truth;
}

std::shared_ptr<SimTruth> SimTruth::open(const std::string& path)
{
    const int descriptor = ::open(path.c_str(), OpenFlags, 0644);
    if (descriptor < 0)
        return nullptr;
    return std::make_shared<SimTruth>(descriptor);
}

SimTruth::~SimTruth()
{
    ::close(descriptor);
}

void SimTruth::record(std::string_view controller, std::string_view event, std::optional<uint32_t> channel,
                      std::optional<uint32_t> code)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string text =
        line(controller, event, channel, code,
             std::chrono::duration_cast<std::chrono::microseconds>(now).count(), processId());
    // O_APPEND places the whole line at the end in one step; a line the disk does not take whole is
    // not completed by a second write, which could land after another process's line.
    ssize_t written = 0;
    do {
        written = ::write(descriptor, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
}

std::string SimTruth::line(std::string_view controller, std::string_view event,
                           std::optional<uint32_t> channel, std::optional<uint32_t> code,
                           int64_t microseconds, long pid)
{
    std::string out = "{";
    if (channel)
        out += "\"channel\":" + std::to_string(*channel) + ",";
    if (code)
        out += "\"code\":" + std::to_string(*code) + ",";
    out += "\"controller\":";
    appendJsonString(out, controller);
    out += ",\"event\":";
    appendJsonString(out, event);
    out += ",\"pid\":" + std::to_string(pid) + ",\"t\":" + std::to_string(microseconds) + "}\n";
    return out;
}
