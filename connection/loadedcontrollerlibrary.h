// The closed controller libraries "VKRControl" and "OrvaneIO", loaded on first use from the
// places LibrarySearch names. A library or function that
// cannot be loaded answers every call with ResultCode::LibraryNotAvailable.
#pragma once

#include "controllerlibrary.h"
#include "controllerlibraryapi.h"
#include "resultcodes.h"

#include <QString>

class QLibrary;
#include <mutex>

class LoadedControllerLibrary : public ControllerLibrary
{
public:
    // Why the libraries are not (fully) usable: the first library or symbol that is missing;
    // empty when everything resolved. Loads the libraries if that has not happened yet.
    QString loadError() override;
    void interruptCalls() override;
    bool controllerGone(uint32_t systemIndex) override;

    uint32_t findSystems(const char* options, char* buffer, uint32_t* bufferSize) override;
    uint32_t openSystem(uint32_t* systemIndex, const char* locator, const char* options) override;
    uint32_t releaseSystems() override;
    uint32_t getNumberOfChannels(uint32_t systemIndex, uint32_t* channels) override;
    uint32_t getSensorEnabled(uint32_t systemIndex, uint32_t* mode) override;
    uint32_t setSensorEnabled(uint32_t systemIndex, uint32_t mode) override;
    uint32_t calibrateSensor(uint32_t systemIndex, uint32_t channel) override;
    uint32_t getStatus(uint32_t systemIndex, uint32_t channel, uint32_t* status) override;
    uint32_t stop(uint32_t systemIndex, uint32_t channel) override;
    uint32_t enumerateDevices(uint32_t kind, const char* filter, char* buffer, uint32_t* bufferSize) override;
    uint32_t getLocatorInterfaceType(uint32_t* type, const char* locator) override;

private:
    struct Functions
    {
        OV_FindSystems_t findSystems = nullptr;
        OV_OpenSystem_t openSystem = nullptr;
        OV_ReleaseSystems_t releaseSystems = nullptr;
        OV_GetNumberOfChannels_t getNumberOfChannels = nullptr;
        OV_GetSensorEnabled_S_t getSensorEnabled = nullptr;
        OV_SetSensorEnabled_S_t setSensorEnabled = nullptr;
        OV_CalibrateSensor_S_t calibrateSensor = nullptr;
        OV_GetStatus_S_t getStatus = nullptr;
        OV_Stop_S_t stop = nullptr;
        OV_IO_EnumerateDevices_t enumerateDevices = nullptr;
        OV_IO_GetLocatorInterfaceType_t getLocatorInterfaceType = nullptr;
        void (*interruptCalls)() = nullptr;             // optional
        uint32_t (*controllerGone)(uint32_t) = nullptr; // optional
    };

    const Functions& functions();
    void load();

    // Calls one resolved function, or answers LibraryNotAvailable when it could not be resolved.
    template <typename Function, typename... Args> uint32_t call(Function Functions::*member, Args... args)
    {
        const Function function = functions().*member;
        return function ? function(args...) : ResultCode::LibraryNotAvailable;
    }

    std::once_flag loadedOnce;
    // Kept for the process's lifetime and never unloaded: a worker thread may be inside a
    // call until the process ends.
    QLibrary* controlLibrary = nullptr;
    QLibrary* ioLibrary = nullptr;
    Functions table;
    QString firstError;
};
