// The stand-in for the maker's controller library: every open system is a simulated controller.
#include "callreplay.h"
#include "controllerlibraryapi.h"
#include "locatorlist.h"
#include "simcodes.h"
#include "simsystemregistry.h"

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

constexpr std::string_view usbSearch = "interface usb";
constexpr std::string_view syncOption = "sync";
// What a USB search finds: one demonstration controller.
const char* const demoLocator = "sim:demo";

SimSystemRegistry& registry()
{
    static SimSystemRegistry systems;
    return systems;
}

// Runs one operation on an open system, or reports that there is none.
template <typename Operation> uint32_t withSystem(uint32_t systemIndex, Operation operation)
{
    const std::shared_ptr<SimController> controller = registry().find(systemIndex);
    return controller ? operation(*controller) : SimCode::UnknownSystem;
}

} // namespace

extern "C" {

// Any other search text finds nothing.
VKR_LIBRARY_EXPORT uint32_t OV_FindSystems(const char* options, char* buffer, uint32_t* bufferSize)
{
    if (!options || !buffer || !bufferSize)
        return SimCode::NullArgument;
    std::vector<std::string> found;
    if (options == usbSearch)
        found.emplace_back(demoLocator);
    const LocatorListResult result = writeLocatorList(found, buffer, *bufferSize);
    *bufferSize = result.requiredSize;
    return result.complete ? SimCode::Ok : SimCode::BufferTooSmall;
}

VKR_LIBRARY_EXPORT uint32_t OV_OpenSystem(uint32_t* systemIndex, const char* locator, const char* options)
{
    if (!systemIndex || !locator || !options)
        return SimCode::NullArgument;
    if (options != syncOption)
        return SimCode::UnsupportedOption;
    return registry().open(locator, *systemIndex);
}

VKR_LIBRARY_EXPORT uint32_t OV_ReleaseSystems()
{
    return registry().releaseAll();
}

VKR_LIBRARY_EXPORT uint32_t OV_GetNumberOfChannels(uint32_t systemIndex, uint32_t* channels)
{
    if (!channels)
        return SimCode::NullArgument;
    return withSystem(systemIndex, [&](SimController& c) { return c.getNumberOfChannels(*channels); });
}

VKR_LIBRARY_EXPORT uint32_t OV_GetSensorEnabled_S(uint32_t systemIndex, uint32_t* mode)
{
    if (!mode)
        return SimCode::NullArgument;
    return withSystem(systemIndex, [&](SimController& c) { return c.getSensorEnabled(*mode); });
}

VKR_LIBRARY_EXPORT uint32_t OV_SetSensorEnabled_S(uint32_t systemIndex, uint32_t mode)
{
    return withSystem(systemIndex, [&](SimController& c) { return c.setSensorEnabled(mode); });
}

VKR_LIBRARY_EXPORT uint32_t OV_CalibrateSensor_S(uint32_t systemIndex, uint32_t channel)
{
    return withSystem(systemIndex, [&](SimController& c) { return c.calibrateSensor(channel); });
}

VKR_LIBRARY_EXPORT uint32_t OV_GetStatus_S(uint32_t systemIndex, uint32_t channel, uint32_t* status)
{
    if (!status)
        return SimCode::NullArgument;
    return withSystem(systemIndex, [&](SimController& c) { return c.getStatus(channel, *status); });
}

VKR_LIBRARY_EXPORT uint32_t OV_Stop_S(uint32_t systemIndex, uint32_t channel)
{
    return withSystem(systemIndex, [&](SimController& c) { return c.stop(channel); });
}

// No function of the maker's library: the tool calls it, where a library has it, when a run is
// aborted, so that a replayed call that took long when it was recorded does not hold the abort up.
VKR_LIBRARY_EXPORT void VKRSim_InterruptCalls()
{
    CallReplay::interruptWaits();
}

// No function of the maker's library either: whether the system's controller is gone for good, so
// that a run waiting on a replay that has left its recording ends instead of polling for ever.
// Nonzero for gone; 0 also for a system that is not open.
VKR_LIBRARY_EXPORT uint32_t VKRSim_ControllerGone(uint32_t systemIndex)
{
    const std::shared_ptr<SimController> controller = registry().find(systemIndex);
    return controller && controller->gone() ? 1 : 0;
}

} // extern "C"

// The exported functions must keep the signatures the tool calls them through.
static_assert(std::is_same_v<decltype(&OV_FindSystems), OV_FindSystems_t>);
static_assert(std::is_same_v<decltype(&OV_OpenSystem), OV_OpenSystem_t>);
static_assert(std::is_same_v<decltype(&OV_ReleaseSystems), OV_ReleaseSystems_t>);
static_assert(std::is_same_v<decltype(&OV_GetNumberOfChannels), OV_GetNumberOfChannels_t>);
static_assert(std::is_same_v<decltype(&OV_GetSensorEnabled_S), OV_GetSensorEnabled_S_t>);
static_assert(std::is_same_v<decltype(&OV_SetSensorEnabled_S), OV_SetSensorEnabled_S_t>);
static_assert(std::is_same_v<decltype(&OV_CalibrateSensor_S), OV_CalibrateSensor_S_t>);
static_assert(std::is_same_v<decltype(&OV_GetStatus_S), OV_GetStatus_S_t>);
static_assert(std::is_same_v<decltype(&OV_Stop_S), OV_Stop_S_t>);
