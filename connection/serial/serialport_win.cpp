#include "serialport.h"

#include <windows.h>

#include <cctype>
#include <limits>

struct SerialPort::Private
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string name; // as the open was given it, for the observer
    OpenFailure failure;
    bool lineGone = false;
};

namespace {

// Applies 8N1 at baudRate on top of the port's current settings; everything else (flow control, special
// characters, error handling) stays as the port reports it.
bool configureLine(HANDLE handle, uint32_t baudRate)
{
    DCB settings;
    ZeroMemory(&settings, sizeof settings);
    settings.DCBlength = sizeof settings;
    if (!GetCommState(handle, &settings))
        return false;
    settings.BaudRate = baudRate;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &settings))
        return false;
    return SetCommMask(handle, EV_RXCHAR) != 0;
}

// The failure of the last call, in the system's own words.
SerialPort::OpenFailure lastFailure(SerialPort::OpenFailure::Kind kind)
{
    const DWORD error = GetLastError();
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    std::string message(text, length);
    if (message.empty())
        message = "Windows error " + std::to_string(error);
    return {kind, static_cast<int>(error), message, {}};
}

// The errors a port answers with once its device has been removed (USB-serial drivers differ in
// which one they pick); any other failure may pass.
bool meansDeviceGone(DWORD error)
{
    switch (error) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
        return true;
    default:
        return false;
    }
}

SerialPort::OpenFailure::Kind kindOfOpenError(DWORD error)
{
    using Kind = SerialPort::OpenFailure::Kind;
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return Kind::NotFound;
    case ERROR_ACCESS_DENIED: // also what a port held by another program answers
    case ERROR_SHARING_VIOLATION:
        return Kind::Busy;
    default:
        return Kind::Other;
    }
}

} // namespace

SerialPort::SerialPort() : d(new Private) {}

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::open(const std::string& name, uint32_t baudRate)
{
    using Kind = OpenFailure::Kind;
    if (d->handle != INVALID_HANDLE_VALUE) {
        d->failure = {Kind::Other, 0, "already open", {}};
        reportOpen(name, baudRate, false);
        return false;
    }
    if (name.empty()) {
        d->failure = {Kind::NotFound, 0, "no port name", {}};
        reportOpen(name, baudRate, false);
        return false;
    }

    // The device namespace reaches every port, also those past COM9; a name given in it ("\\.\COM12")
    // is taken as it is.
    const std::string devicePrefix = "\\\\.\\";
    const std::string device = name.rfind(devicePrefix, 0) == 0 ? name : devicePrefix + name;
    const HANDLE handle =
        CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        d->failure = lastFailure(kindOfOpenError(GetLastError()));
        reportOpen(name, baudRate, false);
        return false;
    }
    if (!configureLine(handle, baudRate)) {
        d->failure = lastFailure(Kind::SettingsRefused);
        CloseHandle(handle);
        reportOpen(name, baudRate, false);
        return false;
    }
    d->handle = handle;
    d->name = name;
    d->failure = OpenFailure();
    reportOpen(name, baudRate, true);
    return true;
}

// The driver's own sharing rule marks a port in use here; there are no lock files to remove.
void SerialPort::removeLockFiles() {}

const SerialPort::OpenFailure& SerialPort::openFailure() const
{
    return d->failure;
}

// Windows port names ignore case; "\\.\COM3" and "COM3" name one port.
std::string SerialPort::deviceIdentity(const std::string& name)
{
    std::string identity = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    for (char& c : identity)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return identity;
}

bool SerialPort::isOpen() const
{
    return d->handle != INVALID_HANDLE_VALUE;
}

void SerialPort::close()
{
    if (d->handle == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(d->handle);
    d->handle = INVALID_HANDLE_VALUE;
    if (observer)
        observer->portClosed();
}

// The handle stays, so that no other program can open the port in between. As in close(), the
// output is not waited for: a write has already waited until the driver took its bytes.
bool SerialPort::reopen(uint32_t baudRate, std::chrono::milliseconds closedFor)
{
    if (d->handle == INVALID_HANDLE_VALUE) {
        d->failure = {OpenFailure::Kind::Other, 0, "not open", {}};
        reportOpen(std::string(), baudRate, false);
        return false;
    }
    if (observer)
        observer->portClosed();
    Sleep(static_cast<DWORD>(closedFor.count()));
    if (configureLine(d->handle, baudRate)) {
        d->failure = OpenFailure();
        reportOpen(d->name, baudRate, true);
        return true;
    }
    d->failure = lastFailure(meansDeviceGone(GetLastError()) ? OpenFailure::Kind::NotFound
                                                             : OpenFailure::Kind::SettingsRefused);
    CloseHandle(d->handle);
    d->handle = INVALID_HANDLE_VALUE;
    reportOpen(d->name, baudRate, false);
    return false;
}

void SerialPort::discardInput()
{
    if (d->handle != INVALID_HANDLE_VALUE)
        PurgeComm(d->handle, PURGE_RXCLEAR);
}

bool SerialPort::write(const char* data, std::size_t size)
{
    const auto done = [&](bool whole) {
        if (observer)
            observer->bytesWritten(data, size, whole);
        return whole;
    };
    d->lineGone = false;
    if (d->handle == INVALID_HANDLE_VALUE || size > (std::numeric_limits<DWORD>::max)())
        return done(false);

    // The write carries an overlapped record, so a driver that completes it later signals this event.
    const HANDLE completed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (completed == nullptr)
        return done(false);
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = completed;

    bool result = false;
    DWORD written = 0;
    if (WriteFile(d->handle, data, static_cast<DWORD>(size), &written, &overlapped)) {
        result = true;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(completed, INFINITE) == WAIT_OBJECT_0)
            result = GetOverlappedResult(d->handle, &overlapped, &written, FALSE) != 0;
        if (!result)
            d->lineGone = meansDeviceGone(GetLastError());
    } else {
        d->lineGone = meansDeviceGone(GetLastError());
    }
    CloseHandle(completed);
    // Until setReadTimeout, the port runs with the time-outs it was found with, maybe write time-outs a
    // program before left: one that runs out ends the write short, and still reports success.
    return done(result && written == size);
}

void SerialPort::setReadTimeout(uint32_t milliseconds)
{
    if (d->handle == INVALID_HANDLE_VALUE)
        return;
    // One read of one byte returns after at most this long, with nothing when no byte came. All read
    // time-outs zero would mean no time-out at all, so zero is the driver's "return at once with what
    // has come".
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = milliseconds == 0 ? MAXDWORD : 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = milliseconds;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(d->handle, &timeouts); // a port that refuses keeps its time-outs; the read will tell
}

bool SerialPort::lineGone() const
{
    return d->lineGone;
}

SerialPort::ReadResult SerialPort::readByte(char& byte)
{
    d->lineGone = false;
    if (d->handle == INVALID_HANDLE_VALUE)
        return ReadResult::Failed;
    DWORD count = 0;
    ReadResult result = ReadResult::Failed;
    if (ReadFile(d->handle, &byte, 1, &count, nullptr))
        result = count == 0 ? ReadResult::TimedOut : count == 1 ? ReadResult::Byte : ReadResult::Failed;
    else
        d->lineGone = meansDeviceGone(GetLastError());
    // This back-end reads byte by byte, so each byte is a chunk of its own.
    reportFill(result, &byte, 1);
    return result;
}
