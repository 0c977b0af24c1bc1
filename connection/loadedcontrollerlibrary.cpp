#include "loadedcontrollerlibrary.h"

#include "librarysearch.h"

#include <QLibrary>

namespace {

// Loads a library by its base name from the first place that has it.
QLibrary* loadLibrary(const QString& baseName)
{
    const QStringList candidates = LibrarySearch::candidates(baseName);
    for (const QString& candidate : candidates) {
        auto* library = new QLibrary(candidate);
        if (library->load())
            return library;
        delete library;
    }
    return nullptr;
}

template <typename Function>
void resolve(QLibrary* library, const char* symbol, Function& target, QString& firstError)
{
    if (library)
        target = reinterpret_cast<Function>(library->resolve(symbol));
    if (!target && firstError.isEmpty())
        firstError = QStringLiteral("missing function %1").arg(QLatin1String(symbol));
}

} // namespace

void LoadedControllerLibrary::load()
{
    controlLibrary = loadLibrary(QStringLiteral("VKRControl"));
    if (!controlLibrary)
        firstError = QStringLiteral("library VKRControl not found");
    resolve(controlLibrary, "OV_FindSystems", table.findSystems, firstError);
    resolve(controlLibrary, "OV_OpenSystem", table.openSystem, firstError);
    resolve(controlLibrary, "OV_ReleaseSystems", table.releaseSystems, firstError);
    resolve(controlLibrary, "OV_GetNumberOfChannels", table.getNumberOfChannels, firstError);
    resolve(controlLibrary, "OV_GetSensorEnabled_S", table.getSensorEnabled, firstError);
    resolve(controlLibrary, "OV_SetSensorEnabled_S", table.setSensorEnabled, firstError);
    resolve(controlLibrary, "OV_CalibrateSensor_S", table.calibrateSensor, firstError);
    resolve(controlLibrary, "OV_GetStatus_S", table.getStatus, firstError);
    resolve(controlLibrary, "OV_Stop_S", table.stop, firstError);
    if (controlLibrary) {
        table.interruptCalls = reinterpret_cast<void (*)()>(controlLibrary->resolve("VKRSim_InterruptCalls"));
        table.controllerGone =
            reinterpret_cast<uint32_t (*)(uint32_t)>(controlLibrary->resolve("VKRSim_ControllerGone"));
    }

    ioLibrary = loadLibrary(QStringLiteral("OrvaneIO"));
    if (!ioLibrary && firstError.isEmpty())
        firstError = QStringLiteral("library OrvaneIO not found");
    resolve(ioLibrary, "OV_IO_EnumerateDevices", table.enumerateDevices, firstError);
    resolve(ioLibrary, "OV_IO_GetLocatorInterfaceType", table.getLocatorInterfaceType, firstError);
}

const LoadedControllerLibrary::Functions& LoadedControllerLibrary::functions()
{
    std::call_once(loadedOnce, [this] { load(); });
    return table;
}

QString LoadedControllerLibrary::loadError()
{
    functions();
    return firstError;
}

void LoadedControllerLibrary::interruptCalls()
{
    if (const auto interrupt = functions().interruptCalls)
        interrupt();
}

bool LoadedControllerLibrary::controllerGone(uint32_t systemIndex)
{
    const auto gone = functions().controllerGone;
    return gone && gone(systemIndex) != 0;
}

uint32_t LoadedControllerLibrary::findSystems(const char* options, char* buffer, uint32_t* bufferSize)
{
    return call(&Functions::findSystems, options, buffer, bufferSize);
}

uint32_t LoadedControllerLibrary::openSystem(uint32_t* systemIndex, const char* locator, const char* options)
{
    return call(&Functions::openSystem, systemIndex, locator, options);
}

uint32_t LoadedControllerLibrary::releaseSystems()
{
    return call(&Functions::releaseSystems);
}

uint32_t LoadedControllerLibrary::getNumberOfChannels(uint32_t systemIndex, uint32_t* channels)
{
    return call(&Functions::getNumberOfChannels, systemIndex, channels);
}

uint32_t LoadedControllerLibrary::getSensorEnabled(uint32_t systemIndex, uint32_t* mode)
{
    return call(&Functions::getSensorEnabled, systemIndex, mode);
}

uint32_t LoadedControllerLibrary::setSensorEnabled(uint32_t systemIndex, uint32_t mode)
{
    return call(&Functions::setSensorEnabled, systemIndex, mode);
}

uint32_t LoadedControllerLibrary::calibrateSensor(uint32_t systemIndex, uint32_t channel)
{
    return call(&Functions::calibrateSensor, systemIndex, channel);
}

uint32_t LoadedControllerLibrary::getStatus(uint32_t systemIndex, uint32_t channel, uint32_t* status)
{
    return call(&Functions::getStatus, systemIndex, channel, status);
}

uint32_t LoadedControllerLibrary::stop(uint32_t systemIndex, uint32_t channel)
{
    return call(&Functions::stop, systemIndex, channel);
}

uint32_t LoadedControllerLibrary::enumerateDevices(uint32_t kind, const char* filter, char* buffer,
                                                   uint32_t* bufferSize)
{
    return call(&Functions::enumerateDevices, kind, filter, buffer, bufferSize);
}

uint32_t LoadedControllerLibrary::getLocatorInterfaceType(uint32_t* type, const char* locator)
{
    return call(&Functions::getLocatorInterfaceType, type, locator);
}
