// The simulated systems that the stand-in controller library has open, by system index. Shared by
// the thread that drives an open system and the thread that runs discovery, so it locks itself.
#pragma once

#include "simcontroller.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

class SimSystemRegistry
{
public:
    static constexpr std::string_view LocatorPrefix = "sim:";

    SimSystemRegistry() = default;
    // The systems still open when the process ends note, in the truth account, what still runs.
    ~SimSystemRegistry();
    SimSystemRegistry(const SimSystemRegistry&) = delete;
    SimSystemRegistry& operator=(const SimSystemRegistry&) = delete;

    // Opens "sim:<scenario>" and hands out its index (never 0, so a connection that forgot to
    // take the index fails visibly). Codes: NotSimLocator, BadScenario, or an injected fail-open.
    uint32_t open(std::string_view locator, uint32_t& systemIndex);
    // Releases every open system whose scenario lets it go. Those with fail-release stay open;
    // the code of the first of them (lowest index) is returned, else 0.
    uint32_t releaseAll();
    // The open system, or null. Shared ownership keeps it alive through a call that races with
    // releaseAll on another thread.
    std::shared_ptr<SimController> find(uint32_t systemIndex) const;
    size_t openCount() const;

private:
    mutable std::mutex mutex;
    std::map<uint32_t, std::shared_ptr<SimController>> systems;
    uint32_t lastIndex = 0;
};
