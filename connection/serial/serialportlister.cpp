#include "serialportlister.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>
#include <utility>

namespace fs = std::filesystem;

namespace {

struct Candidate
{
    std::string path;
    // A name under serial/by-id, which stays the same whichever order devices are plugged in.
    bool stable = false;
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "<prefix><digits>", as the kernel names its tty devices.
bool isNumberedName(std::string_view name, std::string_view prefix)
{
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return false;
    return std::all_of(name.begin() + prefix.size(), name.end(), isDigit);
}

// A machine (or a VM) declares many ttyS ports that have no UART behind them; the kernel reports
// those with port type 0.
bool isRealUart(const fs::path& sysRoot, const std::string& name)
{
    std::ifstream typeFile(sysRoot / "class" / "tty" / name / "type");
    long type = 0;
    return typeFile >> type && type != 0;
}

bool isSerialDeviceName(const fs::path& sysRoot, const std::string& name)
{
    return isNumberedName(name, "ttyUSB") || isNumberedName(name, "ttyACM") ||
           (isNumberedName(name, "ttyS") && isRealUart(sysRoot, name));
}

bool listable(const std::string& path)
{
    return path.find(':') == std::string::npos;
}

bool better(const Candidate& a, const Candidate& b)
{
    if (a.stable != b.stable)
        return a.stable;
    return SerialPortLister::naturalLess(a.path, b.path);
}

// Keeps one candidate per device, the better one.
void offer(std::map<std::string, Candidate>& byDevice, const std::string& device, Candidate candidate)
{
    if (!listable(candidate.path))
        return;
    const auto existing = byDevice.find(device);
    if (existing == byDevice.end())
        byDevice.emplace(device, std::move(candidate));
    else if (better(candidate, existing->second))
        existing->second = std::move(candidate);
}

std::vector<fs::path> directoryEntries(const fs::path& directory)
{
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    return entries;
}

} // namespace

SerialPortLister::SerialPortLister(std::string devRoot, std::string sysRoot)
    : devRoot(std::move(devRoot)), sysRoot(std::move(sysRoot))
{
}

std::vector<std::string> SerialPortLister::ports() const
{
    // Resolve the root once, so that a device reached through a by-id link and the same device
    // found directly compare equal as paths.
    std::error_code error;
    fs::path dev = fs::weakly_canonical(devRoot, error);
    if (error)
        dev = devRoot;
    const fs::path sys(sysRoot);

    std::map<std::string, Candidate> byDevice;
    for (const fs::path& link : directoryEntries(dev / "serial" / "by-id")) {
        const fs::path device = fs::canonical(link, error);
        if (error || fs::is_directory(device, error))
            continue;
        // A by-id name holding ':' would not survive the locator's split; the device's own path
        // stands in for it.
        if (listable(link.filename().string()))
            offer(byDevice, device.string(), {link.string(), true});
        else
            offer(byDevice, device.string(), {device.string(), false});
    }
    for (const fs::path& entry : directoryEntries(dev)) {
        if (!isSerialDeviceName(sys, entry.filename().string()))
            continue;
        const fs::path device = fs::canonical(entry, error);
        if (error || fs::is_directory(device, error))
            continue;
        offer(byDevice, device.string(), {entry.string(), false});
    }

    std::vector<Candidate> chosen;
    for (auto& [device, candidate] : byDevice)
        chosen.push_back(std::move(candidate));
    std::sort(chosen.begin(), chosen.end(), better);

    std::vector<std::string> paths;
    for (Candidate& candidate : chosen)
        paths.push_back(std::move(candidate.path));
    return paths;
}

bool SerialPortLister::naturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const size_t runA = std::find_if_not(a.begin() + i, a.end(), isDigit) - a.begin();
            const size_t runB = std::find_if_not(b.begin() + j, b.end(), isDigit) - b.begin();
            // Compare the values without leading zeros: the longer number is larger, and
            // numbers of one length compare as text.
            size_t startA = i;
            size_t startB = j;
            while (startA + 1 < runA && a[startA] == '0')
                ++startA;
            while (startB + 1 < runB && b[startB] == '0')
                ++startB;
            const std::string_view numberA(a.data() + startA, runA - startA);
            const std::string_view numberB(b.data() + startB, runB - startB);
            if (numberA.size() != numberB.size())
                return numberA.size() < numberB.size();
            if (numberA != numberB)
                return numberA < numberB;
            i = runA;
            j = runB;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if ((i < a.size()) != (j < b.size()))
        return j < b.size();
    // Equal apart from leading zeros: fall back to plain order so the order stays strict.
    return a < b;
}
