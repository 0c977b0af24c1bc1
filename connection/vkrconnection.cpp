#include "vkrconnection.h"

#include "controllerlibrary.h"

#include <QStringList>
#include <string>

namespace {
// Interface types that the IO library reports for locators of the controller library.
bool isLibraryInterface(uint32_t type)
{
    return type == 1 || type == 2;
}
} // namespace

VKRConnection::VKRConnection(QObject* parent) : QObject(parent), library(ControllerLibrary::instance()) {}

// A connection that is still open is not closed here: whoever opened it closes it.
VKRConnection::~VKRConnection() = default;

uint32_t VKRConnection::open(QString locator)
{
    if (connectionMode != Closed)
        return OpenFailed;
    systemIndex = 0;
    serialLineLost = false;

    // Anything but 1 or 2 selects the serial branch, also a type the library left untouched.
    uint32_t interfaceType = 0;
    library.getLocatorInterfaceType(&interfaceType, locator.toStdString().c_str());
    if (isLibraryInterface(interfaceType)) {
        const uint32_t result = library.openSystem(&systemIndex, locator.toStdString().c_str(), "sync");
        if (result == Success)
            connectionMode = Library;
        return result;
    }
    return openSerial(locator);
}

uint32_t VKRConnection::openSerial(const QString& locator)
{
    // prefix:port[:anything]; only the second piece names the port.
    const QStringList pieces = locator.split(QLatin1Char(':'));
    if (pieces.size() < 2)
        return NotALocator;
    const uint32_t result = handshake(pieces.at(1));
    if (result == Success)
        connectionMode = Serial;
    return result;
}

uint32_t VKRConnection::close()
{
    switch (connectionMode) {
    case Library: {
        const uint32_t result = library.releaseSystems();
        if (result == Success)
            connectionMode = Closed;
        return result;
    }
    case Serial:
        portHandle.close();
        connectionMode = Closed;
        return Success;
    default:
        return NotOpen;
    }
}

uint32_t VKRConnection::getNumberOfChannels(uint32_t& count)
{
    return dispatch([&] { return library.getNumberOfChannels(systemIndex, &count); },
                    [&] { return queryValue(QStringLiteral("GNC"), "N", count); });
}

uint32_t VKRConnection::getSensorEnabled(uint32_t& mode)
{
    return dispatch([&] { return library.getSensorEnabled(systemIndex, &mode); },
                    [&] { return queryValue(QStringLiteral("GSE"), "SE", mode); });
}

uint32_t VKRConnection::setSensorEnabled(uint32_t mode)
{
    return dispatch([&] { return library.setSensorEnabled(systemIndex, mode); },
                    [&] { return acknowledgedCommand(QStringLiteral("SSE%1").arg(mode), NoChannel); });
}

uint32_t VKRConnection::calibrateSensor(uint32_t channel)
{
    return dispatch([&] { return library.calibrateSensor(systemIndex, channel); },
                    [&] { return acknowledgedCommand(QStringLiteral("CS%1").arg(channel), channel); });
}

uint32_t VKRConnection::getStatus(uint32_t channel, uint32_t& status)
{
    return dispatch([&] { return library.getStatus(systemIndex, channel, &status); },
                    [&] { return queryStatus(channel, status); });
}

uint32_t VKRConnection::stop(uint32_t channel)
{
    return dispatch([&] { return library.stop(systemIndex, channel); },
                    [&] { return acknowledgedCommand(QStringLiteral("S%1").arg(channel), channel); });
}
