#pragma once

#include "ptymaster.h"

#include <QByteArray>

#include <string>
#include <termios.h>

// The device end of a pseudo-terminal: the code under test opens slavePath() as its serial port while the
// test plays the device on the master side. vkr-sim's PtyMaster underneath; this adds what a test asks
// of the line: reads bounded by a time-out and the settings the client gave it. Use it from one thread
// at a time.
class PseudoTerminal
{
public:
    PseudoTerminal(); // opens a master; check isOpen()

    bool isOpen() const { return master.isOpen(); }
    std::string slavePath() const { return master.slavePath(); }

    // Writes all bytes, waiting a few seconds at most while the line is full.
    bool write(const QByteArray& data)
    {
        return master.write(data.constData(), std::size_t(data.size())) == PtyMaster::Written::All;
    }
    // Bytes from the client: exactly count of them, or fewer when the time-out passed first.
    QByteArray readExactly(int count, int timeoutMs);
    // Bytes from the client up to and including the terminator, or what came before the time-out passed.
    QByteArray readUntil(char terminator, int timeoutMs);

    // The settings the client gave the line: speed, stop bits, flow control and the raw-mode flags. A
    // pseudo-terminal always reports CS8 without parity, whatever the client asked for.
    bool settings(termios& current) const;
    // Settings the client will find when it opens the line, e.g. flow control it must keep.
    bool setSettings(const termios& wanted);
    // The output speed the client set, as a baud rate; 0 when it cannot be told.
    uint32_t baudRate() const { return master.hostBaudRate(); }

    // Closes the master: the client's side hangs up.
    void closeMaster() { master.close(); }

private:
    // Appends what the client has sent until the deadline (steady clock, in ms) or some bytes came.
    bool receive(qint64 deadlineMs);

    PtyMaster master;
    QByteArray received;
};
