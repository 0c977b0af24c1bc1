// The device end of a pseudo-terminal: the host opens the slave path as its serial port, the
// simulated controller reads and writes the master. Knows the line facts a pty shows the master:
// the speed the host set, and that nobody has the slave open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

class PtyMaster
{
public:
    PtyMaster() = default;
    ~PtyMaster();
    PtyMaster(const PtyMaster&) = delete;
    PtyMaster& operator=(const PtyMaster&) = delete;

    // Creates a pseudo-terminal; false (and error says why) when the system has none to give.
    // With a link, the slave is also reached through a symbolic link at that path, which is
    // slavePath() from then on and is removed as the line is hung up: a host that opens the path
    // again then finds nothing there, whoever gets the pseudo-terminal's number next.
    bool open(std::string& error, const std::string& link = std::string());
    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }
    std::string slavePath() const { return path; }
    // Closes the master, after removing the link: whoever has the slave open sees a hang-up.
    void close();

    // Reads what the host sent. Returns the count, 0 when nothing is waiting, -1 when no host has
    // the line open (and nothing it wrote is left) or the read failed.
    ssize_t read(char* buffer, std::size_t size);
    enum class Written
    {
        All,
        HungUp,  // the host closed its end: the rest is dropped, as a closed port drops it
        Stopped, // stopDescriptor became readable while the line was full
        Stalled  // the host read nothing for the stall bound, or the write failed
    };
    // Writes all bytes, waiting (bounded) while the line is full; a stop request or the host
    // closing the line ends the wait at once.
    Written write(const char* data, std::size_t size, int stopDescriptor = -1);

    // The speed the host set on its end of the line, as a baud rate; 0 when it cannot be told.
    uint32_t hostBaudRate() const;

private:
    int fd = -1;
    std::string path;
    std::string linkPath;
};
