// A file written from a thread of its own: whoever hands it text only appends to memory under a
// short lock, and the thread writes what was handed over at least every 100 ms.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

class BackgroundFileWriter
{
public:
    // Text handed over is on its way to the file within this time, or at once after flushNow().
    static constexpr std::chrono::milliseconds WriteInterval{100};
    // While text comes in, what was written is synced to the disk about this often (and at close()),
    // so that a power cut loses little.
    static constexpr std::chrono::milliseconds SyncInterval{1000};
    // Text not yet written beyond this size means the disk cannot keep up: the file is given up
    // rather than let memory grow without end.
    static constexpr std::size_t HeldLimit = 4 * 1024 * 1024;

    BackgroundFileWriter() = default;
    ~BackgroundFileWriter(); // closes the file as close() does
    BackgroundFileWriter(const BackgroundFileWriter&) = delete;
    BackgroundFileWriter& operator=(const BackgroundFileWriter&) = delete;

    // Creates (or empties) the file, writes first to it and syncs it before starting the thread.
    // False, with the system's reason, only when the file cannot be created; a first text that
    // cannot be written, or a thread the system refuses, gives up the file as any later failed
    // write does.
    bool open(const std::string& path, const std::string& first, std::string& error);
    // Whether appended text still goes to the file: false before open(), after close() and once
    // the file was given up.
    bool accepting() const { return isAccepting.load(std::memory_order_relaxed); }
    // Hands text over for writing. Never waits for the disk.
    void append(const char* data, std::size_t size);
    // Asks the thread to write what is held now instead of at its next turn; does not wait for it.
    void flushNow();
    // Writes everything held, syncs the file and closes it; waits for a write the system holds up.
    // False, with the system's reason for the first failure, when the file did not take
    // everything. Calls after the first return true.
    bool close(std::string& error);

private:
    void run();
    // Gives up the file with the reason: frees what is held and takes nothing more.
    void giveUp(std::string reason); // with the mutex held
    // Writes all of text, or returns the system's reason why not. Without the mutex.
    std::string writeAll(const std::string& text);
    // Syncs the file; the reason when that failed. A file that cannot be synced by nature (a
    // device, a pipe) is not a failure. Without the mutex.
    std::string sync();

    int descriptor = -1;
    bool syncable = true;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    std::string held;    // handed over, not yet taken by the thread
    std::string writing; // taken by the thread, being written
    std::string failure; // why the file was given up; empty while it is fine
    bool flushWanted = false;
    bool stopping = false;
    std::atomic<bool> isAccepting{false};
};
