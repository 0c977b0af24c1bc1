#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Told of everything that passes through one SerialPort, in the order it happens, so that the
// conversation with a controller can be recorded as the port saw it. Called on the thread that
// uses the port, inside its calls: an observer must be quick and must not call the port back.
class SerialPortObserver
{
public:
    virtual ~SerialPortObserver() = default;

    // An open() of the port; failure is empty when the port opened, else why it did not.
    virtual void portOpened(const std::string& name, uint32_t baudRate, const std::string& failure) = 0;
    // A close() of a port that was open.
    virtual void portClosed() = 0;
    // A write(): the bytes asked to be written, and whether all of them were.
    virtual void bytesWritten(const char* data, std::size_t size, bool whole) = 0;
    // The bytes one read from the system brought in, as it delivered them.
    virtual void bytesRead(const char* data, std::size_t size) = 0;
    // A readByte() that timed out, or failed (a read error or a hang-up).
    virtual void readTimedOut() = 0;
    virtual void readFailed() = 0;
};
