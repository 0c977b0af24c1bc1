// The UUCP lock file that marks a serial port as in use among the programs that share ports on
// POSIX systems (minicom, picocom, cu, screen, Qt Serial Port): LCK..NAME in the lock folder,
// holding its owner's pid as ten characters and a line feed, then the program's name and the host's
// on lines of their own. Qt-free.
#pragma once

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

class PortLock
{
public:
    PortLock() = default;
    ~PortLock(); // removes the lock file still held
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Takes the lock file of the device at its real path ("/dev/ttyUSB0"). False when a live
    // process holds it (owner() names it), or when it is there but says no owner (owner() is 0).
    // One whose process has ended is replaced, atomically, and note() says so. A lock file of this process
    // is left to whoever wrote it. Without a lock folder this process may write in, nothing is
    // written and true is returned: flock and TIOCEXCL still keep the port.
    bool acquire(const std::string& devicePath);
    // Removes the lock file, if this object wrote it and it is still that file.
    void release();
    const std::string& path() const { return lockPath; }
    pid_t owner() const { return ownerPid; }
    const std::string& note() const { return takeOverNote; }

    // The folder of the lock files: $VKR_LOCK_DIR when set (for tests), else /var/lock.
    static std::string directory();
    // LCK.. and the device's path under /dev, '/' made '_' ("/dev/pts/3" gives LCK..pts_3).
    static std::string fileName(const std::string& devicePath);
    // Removes every lock file the process holds. Async-signal-safe: the handlers of the signals
    // that end the program call it, and so does a program that ends itself at once.
    static void removeAllHeld();
    // For tests of two takers of one stale lock file: called while a taker has the folder's lock,
    // between reading the stale lock file again and replacing it. nullptr for none.
    static void setTakeOverPause(void (*pause)());

private:
    void hold(const struct stat& written);

    std::string lockPath;
    dev_t fileDevice = 0; // the lock file written, so that only that file is ever removed
    ino_t fileInode = 0;
    pid_t ownerPid = 0;
    std::string takeOverNote;
    bool owned = false; // written by this object, to be removed by it
    int slot = -1;      // in the list of held lock files that removeAllHeld works from
};
