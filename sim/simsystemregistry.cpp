#include "simsystemregistry.h"

#include "simcodes.h"

#include <cstdio>

uint32_t SimSystemRegistry::open(std::string_view locator, uint32_t& systemIndex)
{
    if (locator.substr(0, LocatorPrefix.size()) != LocatorPrefix)
        return SimCode::NotSimLocator;
    std::string error;
    std::optional<SimScenario> scenario = SimScenario::parse(locator.substr(LocatorPrefix.size()), &error);
    if (!scenario) {
        std::fprintf(stderr, "libVKRControl: the scenario does not parse: %s\n", error.c_str());
        return SimCode::BadScenario;
    }

    std::shared_ptr<CallReplay> replay;
    if (!scenario->replayFile.empty()) {
        replay = CallReplay::load(scenario->replayFile, &error);
        if (!replay) {
            std::fprintf(stderr, "libVKRControl: the recording cannot be replayed: %s\n", error.c_str());
            return SimCode::BadScenario;
        }
    }
    const bool simulated = !replay;
    auto controller = std::make_shared<SimController>(std::move(*scenario), std::move(replay));
    if (simulated)
        controller->keepTruth(SimTruth::fromEnvironment(), std::string(locator));
    if (const uint32_t fault = controller->open())
        return fault;

    std::lock_guard<std::mutex> lock(mutex);
    // Skip 0 when the counter wraps, and any index still in use.
    do {
        ++lastIndex;
    } while (lastIndex == 0 || systems.count(lastIndex));
    systems.emplace(lastIndex, std::move(controller));
    systemIndex = lastIndex;
    return SimCode::Ok;
}

SimSystemRegistry::~SimSystemRegistry()
{
    for (const auto& [index, controller] : systems)
        controller->accountRunning("ended");
}

uint32_t SimSystemRegistry::releaseAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    uint32_t result = SimCode::Ok;
    for (auto it = systems.begin(); it != systems.end();) {
        const uint32_t fault = it->second->release();
        if (fault == SimCode::Ok) {
            it->second->accountRunning("closed");
            it = systems.erase(it);
            continue;
        }
        if (result == SimCode::Ok)
            result = fault;
        ++it;
    }
    return result;
}

std::shared_ptr<SimController> SimSystemRegistry::find(uint32_t systemIndex) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = systems.find(systemIndex);
    return found == systems.end() ? nullptr : found->second;
}

size_t SimSystemRegistry::openCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return systems.size();
}
