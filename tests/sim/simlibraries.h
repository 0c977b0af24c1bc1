// The stand-in controller libraries loaded the way the tool loads them, for the tests that call
// their C entry points. The build passes the libraries' paths in.
#pragma once

#include "controllerlibraryapi.h"

#include <QLibrary>
#include <QString>

struct SimLibraries
{
    QLibrary control{QStringLiteral(VKR_CONTROL_LIBRARY)};
    QLibrary io{QStringLiteral(VKR_IO_LIBRARY)};
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

    // Loads both libraries and resolves every entry point; on failure says what is missing.
    bool load(QString& error)
    {
        if (!control.load() || !io.load()) {
            error = control.isLoaded() ? io.errorString() : control.errorString();
            return false;
        }
        return resolve(control, "OV_FindSystems", findSystems, error) &&
               resolve(control, "OV_OpenSystem", openSystem, error) &&
               resolve(control, "OV_ReleaseSystems", releaseSystems, error) &&
               resolve(control, "OV_GetNumberOfChannels", getNumberOfChannels, error) &&
               resolve(control, "OV_GetSensorEnabled_S", getSensorEnabled, error) &&
               resolve(control, "OV_SetSensorEnabled_S", setSensorEnabled, error) &&
               resolve(control, "OV_CalibrateSensor_S", calibrateSensor, error) &&
               resolve(control, "OV_GetStatus_S", getStatus, error) &&
               resolve(control, "OV_Stop_S", stop, error) &&
               resolve(io, "OV_IO_EnumerateDevices", enumerateDevices, error) &&
               resolve(io, "OV_IO_GetLocatorInterfaceType", getLocatorInterfaceType, error);
    }

    // The index of a newly opened system, or 0 when the open failed.
    uint32_t open(const char* locator) const
    {
        uint32_t index = 0;
        return openSystem(&index, locator, "sync") == 0 ? index : 0;
    }

private:
    template <typename Function>
    static bool resolve(QLibrary& library, const char* name, Function& function, QString& error)
    {
        function = reinterpret_cast<Function>(library.resolve(name));
        if (!function)
            error = QStringLiteral("missing symbol %1 in %2").arg(name, library.fileName());
        return function != nullptr;
    }
};
