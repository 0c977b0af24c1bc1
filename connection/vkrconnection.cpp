#include "vkrconnection.h"

#include "controllerlibrary.h"
#include "controllerlibraryapi.h"

#include <QStringList>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <string>

using namespace ResultCode;

namespace {

// The controller library's release takes no system: it lets go of every system the process has
// open. Connections side by side in one process (several controllers calibrated at once) must not
// release each other's systems, so only the last library connection to close makes the call, and
// never while another connection's open is between the library's call and its count: each open
// holds the lock shared across both, and a release holds it alone. Opens hold no one else up, so
// a rack of controllers opened at once is not queued behind whichever opener the system
// preempted.
std::shared_mutex libraryConnectionsMutex;
std::atomic<int> openLibraryConnections{0};

// Leaves the count, without a release, when other library connections remain open; false when
// this connection may be the last.
bool leaveUnlessLast()
{
    int count = openLibraryConnections.load();
    while (count > 1) {
        if (openLibraryConnections.compare_exchange_weak(count, count - 1))
            return true;
    }
    return false;
}

// A port that would not open, in the system's words, with the cure where there is one.
QString describePortFailure(const QString& portName, const SerialPort::OpenFailure& failure)
{
    using Kind = SerialPort::OpenFailure::Kind;
    QString text =
        QStringLiteral("serial port %1: %2").arg(portName, QString::fromLocal8Bit(failure.message.c_str()));
    switch (failure.kind) {
    case Kind::PermissionDenied:
        // Only the back-end can tell whether a group would help; without its word no cure is offered.
        if (!failure.advice.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(failure.advice.c_str()));
        break;
    case Kind::NotFound:
        text += QStringLiteral(" (is the adapter plugged in? The locator list shows the ports found)");
        break;
    case Kind::Busy:
        text += QStringLiteral(" (close the program that holds it)");
        break;
    default:
        break;
    }
    return text;
}
} // namespace

VKRConnection::VKRConnection(QObject* parent) : QObject(parent), library(ControllerLibrary::instance()) {}

// A connection that is still open is not closed here: whoever opened it closes it. A serial port
// still open closes with its member, as any handle must; a library system stays open, but no
// longer counts among the library connections, or no later one would ever release.
VKRConnection::~VKRConnection()
{
    if (connectionMode == Library)
        --openLibraryConnections;
}

uint32_t VKRConnection::open(QString locator)
{
    openFailure.clear();
    if (connectionMode != Closed) {
        openFailure = QStringLiteral("the connection is still open: a previous run could not close it");
        return OpenFailed;
    }
    systemIndex = 0;
    lastExchangeLostLine = false;
    lastExchangeSilent = false;
    lateReplyMayFollow = false;
    lastHeard = std::chrono::steady_clock::now();

    // Anything but 1 or 2 selects the serial branch, also a type the library left untouched.
    uint32_t interfaceType = 0;
    const uint32_t classified =
        library.getLocatorInterfaceType(&interfaceType, locator.toStdString().c_str());
    if (LibraryApi::opensThroughControllerLibrary(interfaceType)) {
        std::shared_lock<std::shared_mutex> lock(libraryConnectionsMutex);
        const uint32_t result =
            library.openSystem(&systemIndex, locator.toStdString().c_str(), LibraryApi::OpenOption);
        if (result == Success) {
            connectionMode = Library;
            ++openLibraryConnections;
        }
        lock.unlock();
        if (result == LibraryNotAvailable)
            openFailure =
                QStringLiteral("the controller libraries could not be loaded: %1").arg(library.loadError());
        else if (result != Success)
            openFailure = QStringLiteral("the controller library refused to open it: code %1").arg(result);
        return result;
    }
    const uint32_t result = openSerial(locator);
    if (result != Success && classified == LibraryNotAvailable) {
        // Without the IO library no locator is a library locator; say so, as that is the real cause
        // when a library locator was meant.
        openFailure +=
            QStringLiteral("%1the controller libraries could not be loaded (%2), so the locator was "
                           "taken for a serial one")
                .arg(openFailure.isEmpty() ? QString() : QStringLiteral("; "), library.loadError());
    }
    return result;
}

uint32_t VKRConnection::openSerial(const QString& locator)
{
    // prefix:port[:anything]; only the second piece names the port.
    const QStringList pieces = locator.split(QLatin1Char(':'));
    if (pieces.size() < 2) {
        openFailure = QStringLiteral("\"%1\" is no locator: a serial locator is a prefix, ':' and the port, "
                                     "such as serial:/dev/ttyUSB0")
                          .arg(locator);
        return NotALocator;
    }
    const QString portName = pieces.at(1);
    if (!portClaim.claim(SerialPort::deviceIdentity(portName.toLatin1().toStdString()))) {
        openFailure =
            QStringLiteral("serial port %1: in use by another calibration of this program").arg(portName);
        return OpenFailed;
    }
    const uint32_t result = handshake(portName);
    if (result == Success)
        connectionMode = Serial;
    else
        portClaim.release();
    if (result == Success || !openFailure.isEmpty())
        return result; // the handshake said what the controller answered
    switch (result) {
    case OpenFailed:
        openFailure = describePortFailure(portName, portHandle.openFailure());
        break;
    case ReplyTimedOut:
        openFailure = QStringLiteral("serial port %1: no controller answered (is it connected to this port "
                                     "and powered up?)")
                          .arg(portName);
        break;
    case WriteFailed:
        openFailure =
            QStringLiteral("serial port %1: writing to it failed (was the adapter unplugged?)").arg(portName);
        break;
    case ReadFailed:
        openFailure = QStringLiteral("serial port %1: reading from it failed (was the adapter unplugged or "
                                     "the line hung up?)")
                          .arg(portName);
        break;
    default:
        openFailure =
            QStringLiteral("serial port %1: the handshake failed: code %2").arg(portName).arg(result);
        break;
    }
    return result;
}

uint32_t VKRConnection::close()
{
    switch (connectionMode) {
    case Library: {
        if (leaveUnlessLast()) {
            connectionMode = Closed;
            return Success;
        }
        const std::lock_guard<std::shared_mutex> lock(libraryConnectionsMutex);
        if (leaveUnlessLast()) {
            connectionMode = Closed;
            return Success;
        }
        const uint32_t result = library.releaseSystems();
        if (result == Success) {
            connectionMode = Closed;
            --openLibraryConnections;
        }
        return result;
    }
    case Serial:
        portHandle.close();
        portClaim.release();
        connectionMode = Closed;
        return Success;
    default:
        return NotOpen;
    }
}

bool VKRConnection::lineLost() const
{
    if (connectionMode == Library)
        return library.controllerGone(systemIndex);
    return lastExchangeLostLine;
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
    return dispatch(
        [&] { return library.setSensorEnabled(systemIndex, mode); },
        [&] { return acknowledgedCommand(commandText("SSE", mode), ControllerValue::NoChannel); });
}

uint32_t VKRConnection::calibrateSensor(uint32_t channel)
{
    return dispatch([&] { return library.calibrateSensor(systemIndex, channel); },
                    [&] { return acknowledgedCommand(commandText("CS", channel), channel); });
}

uint32_t VKRConnection::getStatus(uint32_t channel, uint32_t& status)
{
    return dispatch([&] { return library.getStatus(systemIndex, channel, &status); },
                    [&] { return queryStatus(channel, status); });
}

uint32_t VKRConnection::stop(uint32_t channel)
{
    return dispatch([&] { return library.stop(systemIndex, channel); },
                    [&] { return acknowledgedCommand(commandText("S", channel), channel); });
}

#include "moc_vkrconnection.cpp"
