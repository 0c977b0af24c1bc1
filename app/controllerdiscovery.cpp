#include "controllerdiscovery.h"

#include "controllerlibrary.h"
#include "controllerlibraryapi.h"

#include <cstring>

namespace ControllerDiscovery {

QStringList findLocators()
{
    ControllerLibrary& library = ControllerLibrary::instance();
    char buffer[BufferSize] = {};
    QStringList locators;

    uint32_t size = BufferSize;
    if (library.findSystems(LibraryApi::SystemSearch, buffer, &size) == 0)
        locators << splitLocators(buffer, sizeof buffer);

    size = BufferSize;
    if (library.enumerateDevices(LibraryApi::DeviceKind, LibraryApi::DeviceFilter, buffer, &size) == 0)
        locators << splitLocators(buffer, sizeof buffer);
    return locators;
}

QStringList splitLocators(const char* buffer, std::size_t capacity)
{
    const void* terminator = std::memchr(buffer, '\0', capacity);
    const std::size_t length = terminator ? static_cast<const char*>(terminator) - buffer : capacity;
    return QString::fromUtf8(buffer, static_cast<int>(length)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace ControllerDiscovery
