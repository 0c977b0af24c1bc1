#pragma once

#include "serialportobserver.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// One serial port, opened exclusively at 8 data bits, no parity and one stop bit, written whole and read
// one byte at a time with a time-out. Qt-free; the operating system's side lives in serialport_posix.cpp
// and serialport_win.cpp. tests/serial/tst_serialportcontract.cpp holds both to what is said here, the
// Windows one under Wine; where the two back-ends part, it is said below.
class SerialPort
{
public:
    enum class ReadResult
    {
        Byte,
        TimedOut,
        Failed
    };

    // Why the last open() failed, kept right after the failing call.
    struct OpenFailure
    {
        enum class Kind
        {
            None,     // the last open succeeded (or none was made)
            NotFound, // no such device
            PermissionDenied,
            Busy,            // held by another program
            NotASerialPort,  // a file, a directory, the program's own terminal, a pseudo-terminal master
            SettingsRefused, // the device would not take or report the line settings
            Other
        };
        Kind kind = Kind::None;
        // errno on POSIX, GetLastError() on Windows; 0 when the refusal is this class's own.
        int systemError = 0;
        // The system's words for it ("Permission denied"), or this class's own ("held by socat
        // (pid 1234)" when other programs are seen holding the port).
        std::string message;
        // What would let the user in, where the back-end can tell (POSIX, for a permission refused):
        // the group to join, or the device's owner and mode when no group would help. Empty otherwise.
        std::string advice;
    };

    SerialPort();
    ~SerialPort(); // closes the port if open
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the named port at 8N1 and baudRate; every other setting (flow control among them) stays as the
    // port reports it. A name is the device's name ("COM3", "ttyUSB0") or, on POSIX, a path ("/dev/pts/4").
    // Only a line to a device is opened: on POSIX the program's own terminal (the controlling one, /dev/tty,
    // or one a standard stream writes to) and the master side of a pseudo-terminal (/dev/ptmx) are refused
    // before anything is written or set on them.
    // On POSIX only a path that the system lists as a terminal is opened at all; anything else is refused
    // before the open. The port is shared the way terminal programs share ports: refused while a live
    // program holds its UUCP lock file (LCK..NAME in /var/lock, or $VKR_LOCK_DIR), while another program
    // locks it (flock) or has marked it exclusive (TIOCEXCL), or while other programs this process can
    // see in /proc have it open (the one holding a pseudo-terminal's master, a bridge such as socat,
    // does not count); the refusal names them. While open, this port holds all three marks itself. On
    // Windows the port is opened without sharing, so the driver refuses other openers.
    // False leaves nothing open; a port that is already open is left as it is and false is returned.
    bool open(const std::string& name, uint32_t baudRate);
    bool isOpen() const;
    // The same text for every name of one device ("ttyUSB0", "/dev/ttyUSB0", a link to it), so
    // that users of ports can tell when two names mean one port.
    static std::string deviceIdentity(const std::string& name);
    const OpenFailure& openFailure() const;
    // What the last successful open has to say beside its success, such as a lock file taken over from
    // a program that has ended; empty for nothing.
    const std::string& openNote() const { return note; }
    // Removes the lock files of every port the process has open (POSIX; nothing on Windows). Safe in a
    // signal handler: for a program that ends at once, without closing its ports.
    static void removeLockFiles();
    // Does to the line what close(), a pause of closedFor and open() at baudRate would do, but keeps
    // the port open all through, so that no other program can take it in between: pending output is
    // waited for (as close() waits), the pause passes, and the line is set to the new speed. The
    // observer is told of a close and an open. Input read ahead is dropped; what the driver holds
    // stays, as an open leaves it. On failure (the line hung up or its device gone, the speed
    // refused) the port is closed and openFailure() says why.
    bool reopen(uint32_t baudRate, std::chrono::milliseconds closedFor = std::chrono::milliseconds(0));
    // Drops the input the driver holds and any read ahead: bytes that came before a conversation
    // began are no answer to it.
    void discardInput();
    // Closes the port and drops unread input; a no-op when closed. POSIX waits (at most 1.5 s) until pending
    // output has left and drops what is still held back then. Windows closes the handle at once and drains
    // nothing: there a write has already waited until the driver took its bytes.
    void close();

    // Writes all bytes, or returns false. POSIX gives up when the port has taken nothing for the write
    // stall limit; Windows waits as long as the driver holds the bytes back (flow control), without a bound.
    bool write(const char* data, std::size_t size);
    // How long a write may find the port taking nothing (POSIX; 5 s unless set).
    void setWriteStallLimit(std::chrono::milliseconds limit) { writeStallLimit = limit; }
    // The time-out of every following readByte on the open port; zero reads a byte that has come and
    // otherwise times out at once. Set it after open: on Windows it goes straight into the driver, which
    // keeps its own time-outs until then (often none, so that a read waits for ever).
    void setReadTimeout(uint32_t milliseconds);
    // One byte within the time-out, TimedOut when none came, Failed on a read error or a hang-up (on
    // Windows, a hang-up is what the driver reports it as).
    ReadResult readByte(char& byte);
    // True when the last write or read that failed found the line itself gone: the device
    // removed or the line hung up (POSIX: end of file, EIO, ENXIO, ENODEV, POLLHUP, POLLERR; Windows:
    // the errors a removed device answers with). False after a time-out, a write that the port
    // stopped taking (flow control holding it back) or any other failure; every write and
    // read starts it afresh. On POSIX a line once found gone stays gone until the port is closed:
    // every later write and read fails at once, with this true.
    bool lineGone() const;

    // Tells the observer (not owned; nullptr for none) of every open, close, write and read from now on.
    void setObserver(SerialPortObserver* portObserver) { observer = portObserver; }

private:
    ReadResult fillInput(); // POSIX back-end: refills the read buffer
    void reportFill(ReadResult result, const char* data, std::size_t size);
    void reportOpen(const std::string& name, uint32_t baudRate, bool opened);

    SerialPortObserver* observer = nullptr;
    std::string note;
    std::chrono::milliseconds writeStallLimit{5000};

    struct Private;
    std::unique_ptr<Private> d;
};

// What one refill of the input brought, told to the observer; shared by both back-ends.
inline void SerialPort::reportFill(ReadResult result, const char* data, std::size_t size)
{
    if (!observer)
        return;
    switch (result) {
    case ReadResult::Byte:
        observer->bytesRead(data, size);
        break;
    case ReadResult::TimedOut:
        observer->readTimedOut();
        break;
    case ReadResult::Failed:
        observer->readFailed();
        break;
    }
}

inline void SerialPort::reportOpen(const std::string& name, uint32_t baudRate, bool opened)
{
    if (observer)
        observer->portOpened(name, baudRate, opened ? std::string() : openFailure().message);
}
