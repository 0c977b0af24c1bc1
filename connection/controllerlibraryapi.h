// The C entry points of the two closed controller libraries, as the tool calls them.
// The controller library ("VKRControl") opens and drives controllers; the IO library
// ("OrvaneIO") enumerates devices and classifies locators. Every function returns a
// result code, 0 meaning success.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define VKR_LIBRARY_EXPORT __declspec(dllexport)
#else
#define VKR_LIBRARY_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
// VKRControl
using OV_FindSystems_t = uint32_t (*)(const char* options, char* buffer, uint32_t* bufferSize);
using OV_OpenSystem_t = uint32_t (*)(uint32_t* systemIndex, const char* locator, const char* options);
using OV_ReleaseSystems_t = uint32_t (*)();
using OV_GetNumberOfChannels_t = uint32_t (*)(uint32_t systemIndex, uint32_t* channels);
using OV_GetSensorEnabled_S_t = uint32_t (*)(uint32_t systemIndex, uint32_t* mode);
using OV_SetSensorEnabled_S_t = uint32_t (*)(uint32_t systemIndex, uint32_t mode);
using OV_CalibrateSensor_S_t = uint32_t (*)(uint32_t systemIndex, uint32_t channel);
using OV_GetStatus_S_t = uint32_t (*)(uint32_t systemIndex, uint32_t channel, uint32_t* status);
using OV_Stop_S_t = uint32_t (*)(uint32_t systemIndex, uint32_t channel);

// OrvaneIO
using OV_IO_EnumerateDevices_t = uint32_t (*)(uint32_t kind, const char* filter, char* buffer,
                                              uint32_t* bufferSize);
using OV_IO_GetLocatorInterfaceType_t = uint32_t (*)(uint32_t* type, const char* locator);
}

// The values the tool passes to these functions and reads from them.
namespace LibraryApi {
// OV_FindSystems: the search for the controllers to list.
constexpr char SystemSearch[] = "interface usb";
// OV_IO_EnumerateDevices: the kind of device to list, and the filter (none).
constexpr uint32_t DeviceKind = 3;
constexpr char DeviceFilter[] = "";
// OV_OpenSystem: the option text.
constexpr char OpenOption[] = "sync";
// OV_IO_GetLocatorInterfaceType: interface types 1 and 2 are opened through the controller
// library; any other type, or none, means a serial locator.
constexpr bool opensThroughControllerLibrary(uint32_t interfaceType)
{
    return interfaceType == 1 || interfaceType == 2;
}
} // namespace LibraryApi
