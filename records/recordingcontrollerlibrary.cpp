#include "recordingcontrollerlibrary.h"

#include "conversationrecorder.h"

#include <QJsonObject>
#include <cstring>

namespace {

QJsonValue number(uint32_t value)
{
    return qint64(value);
}

// A text argument; a null pointer stays null.
QJsonValue text(const char* value)
{
    return value ? QJsonValue(QString::fromUtf8(value)) : QJsonValue();
}

// What an out-value holds after the call, which the tool reads whatever the result; nothing for a
// null pointer.
void addOut(QJsonObject& out, const char* name, const uint32_t* value)
{
    if (value)
        out.insert(QLatin1String(name), number(*value));
}

// A locator list written into the caller's buffer: its text up to the terminating zero (or the
// whole buffer when there is none), and the size the library reported.
QJsonObject listOut(const char* buffer, uint32_t capacity, const uint32_t* bufferSize)
{
    QJsonObject out;
    if (buffer && capacity > 0) {
        const void* zero = std::memchr(buffer, '\0', capacity);
        const std::size_t length = zero ? static_cast<const char*>(zero) - buffer : capacity;
        out.insert(QStringLiteral("buffer"), ConversationRecorder::bytesText(buffer, length));
    }
    addOut(out, "bufferSize", bufferSize);
    return out;
}

} // namespace

RecordingControllerLibrary::RecordingControllerLibrary(ControllerLibrary& library,
                                                       ConversationRecorder& recorder)
    : library(library), recorder(recorder)
{
}

uint32_t RecordingControllerLibrary::findSystems(const char* options, char* buffer, uint32_t* bufferSize)
{
    const qint64 started = recorder.now();
    const uint32_t capacity = bufferSize ? *bufferSize : 0;
    const uint32_t result = library.findSystems(options, buffer, bufferSize);
    recorder.libraryCall("OV_FindSystems", {{"options", text(options)}, {"bufferSize", number(capacity)}},
                         result, listOut(buffer, capacity, bufferSize), started);
    return result;
}

uint32_t RecordingControllerLibrary::openSystem(uint32_t* systemIndex, const char* locator,
                                                const char* options)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.openSystem(systemIndex, locator, options);
    QJsonObject out;
    addOut(out, "systemIndex", systemIndex);
    recorder.libraryCall("OV_OpenSystem", {{"locator", text(locator)}, {"options", text(options)}}, result,
                         out, started);
    return result;
}

uint32_t RecordingControllerLibrary::releaseSystems()
{
    const qint64 started = recorder.now();
    const uint32_t result = library.releaseSystems();
    recorder.libraryCall("OV_ReleaseSystems", {}, result, {}, started);
    return result;
}

uint32_t RecordingControllerLibrary::getNumberOfChannels(uint32_t systemIndex, uint32_t* channels)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.getNumberOfChannels(systemIndex, channels);
    QJsonObject out;
    addOut(out, "channels", channels);
    recorder.libraryCall("OV_GetNumberOfChannels", {{"systemIndex", number(systemIndex)}}, result, out,
                         started);
    return result;
}

uint32_t RecordingControllerLibrary::getSensorEnabled(uint32_t systemIndex, uint32_t* mode)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.getSensorEnabled(systemIndex, mode);
    QJsonObject out;
    addOut(out, "mode", mode);
    recorder.libraryCall("OV_GetSensorEnabled_S", {{"systemIndex", number(systemIndex)}}, result, out,
                         started);
    return result;
}

uint32_t RecordingControllerLibrary::setSensorEnabled(uint32_t systemIndex, uint32_t mode)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.setSensorEnabled(systemIndex, mode);
    recorder.libraryCall("OV_SetSensorEnabled_S",
                         {{"systemIndex", number(systemIndex)}, {"mode", number(mode)}}, result, {}, started);
    return result;
}

uint32_t RecordingControllerLibrary::calibrateSensor(uint32_t systemIndex, uint32_t channel)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.calibrateSensor(systemIndex, channel);
    recorder.libraryCall("OV_CalibrateSensor_S",
                         {{"systemIndex", number(systemIndex)}, {"channel", number(channel)}}, result, {},
                         started);
    return result;
}

uint32_t RecordingControllerLibrary::getStatus(uint32_t systemIndex, uint32_t channel, uint32_t* status)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.getStatus(systemIndex, channel, status);
    QJsonObject out;
    addOut(out, "status", status);
    recorder.libraryCall("OV_GetStatus_S",
                         {{"systemIndex", number(systemIndex)}, {"channel", number(channel)}}, result, out,
                         started);
    return result;
}

uint32_t RecordingControllerLibrary::stop(uint32_t systemIndex, uint32_t channel)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.stop(systemIndex, channel);
    recorder.libraryCall("OV_Stop_S", {{"systemIndex", number(systemIndex)}, {"channel", number(channel)}},
                         result, {}, started);
    return result;
}

uint32_t RecordingControllerLibrary::enumerateDevices(uint32_t kind, const char* filter, char* buffer,
                                                      uint32_t* bufferSize)
{
    const qint64 started = recorder.now();
    const uint32_t capacity = bufferSize ? *bufferSize : 0;
    const uint32_t result = library.enumerateDevices(kind, filter, buffer, bufferSize);
    recorder.libraryCall("OV_IO_EnumerateDevices",
                         {{"kind", number(kind)}, {"filter", text(filter)}, {"bufferSize", number(capacity)}},
                         result, listOut(buffer, capacity, bufferSize), started);
    return result;
}

uint32_t RecordingControllerLibrary::getLocatorInterfaceType(uint32_t* type, const char* locator)
{
    const qint64 started = recorder.now();
    const uint32_t result = library.getLocatorInterfaceType(type, locator);
    QJsonObject out;
    addOut(out, "type", type);
    recorder.libraryCall("OV_IO_GetLocatorInterfaceType", {{"locator", text(locator)}}, result, out, started);
    return result;
}
