// The stand-in for the maker's IO library: classifies "sim:" locators as controller-library
// locators and lists this machine's serial ports as serial locators.
#include "controllerlibraryapi.h"
#include "locatorlist.h"
#include "serialportlister.h"
#include "simcodes.h"

#include <string_view>
#include <type_traits>

namespace {

constexpr uint32_t serialPortKind = 3;
constexpr uint32_t libraryInterfaceType = 1;
constexpr uint32_t otherInterfaceType = 0;
constexpr std::string_view simPrefix = "sim:";
constexpr std::string_view serialPrefix = "serial:";

} // namespace

extern "C" {

// Kind 3 lists serial ports; other kinds have no devices here. A non-empty filter keeps only the
// locators that contain it. A list longer than the buffer ends after the last whole locator and
// still counts as success; *bufferSize is set to what the whole list needs.
VKR_LIBRARY_EXPORT uint32_t OV_IO_EnumerateDevices(uint32_t kind, const char* filter, char* buffer,
                                                   uint32_t* bufferSize)
{
    if (!filter || !buffer || !bufferSize)
        return SimCode::NullArgument;
    std::vector<std::string> locators;
    if (kind == serialPortKind) {
        for (const std::string& port : SerialPortLister("/dev", "/sys").ports()) {
            std::string locator = std::string(serialPrefix) + port;
            if (locator.find(filter) != std::string::npos)
                locators.push_back(std::move(locator));
        }
    }
    const uint32_t capacity = *bufferSize;
    *bufferSize = writeLocatorList(locators, buffer, capacity).requiredSize;
    // A list cut short is still an answer; a buffer without room for the zero is none.
    return capacity > 0 ? SimCode::Ok : SimCode::BufferTooSmall;
}

VKR_LIBRARY_EXPORT uint32_t OV_IO_GetLocatorInterfaceType(uint32_t* type, const char* locator)
{
    if (!type)
        return SimCode::NullArgument;
    if (!locator) {
        *type = otherInterfaceType;
        return SimCode::NullArgument;
    }
    *type = std::string_view(locator).substr(0, simPrefix.size()) == simPrefix ? libraryInterfaceType
                                                                               : otherInterfaceType;
    return SimCode::Ok;
}

} // extern "C"

static_assert(std::is_same_v<decltype(&OV_IO_EnumerateDevices), OV_IO_EnumerateDevices_t>);
static_assert(std::is_same_v<decltype(&OV_IO_GetLocatorInterfaceType), OV_IO_GetLocatorInterfaceType_t>);
