#include "backgroundfilewriter.h"

#include "filecalls.h"

#include <cerrno>

namespace {

std::string systemReason(int code)
{
    return FileCalls::reason(code);
}

} // namespace

BackgroundFileWriter::~BackgroundFileWriter()
{
    std::string ignored;
    close(ignored);
}

bool BackgroundFileWriter::open(const std::string& path, const std::string& first, std::string& error)
{
    descriptor = FileCalls::open(path, FileCalls::Mode::Replace);
    if (descriptor < 0) {
        error = systemReason(errno);
        return false;
    }
    // Written here, before any conversation, so that even a program killed at once leaves a file
    // that names what it is.
    std::string problem = writeAll(first);
    if (problem.empty())
        problem = sync();
    const std::lock_guard<std::mutex> lock(mutex);
    if (!problem.empty()) {
        failure = problem;
        return true;
    }
    // A system at its thread limit refuses the writer: the file is given up with the reason, as
    // after a failed write, and the run it records goes on.
    try {
        thread = std::thread(&BackgroundFileWriter::run, this);
    } catch (const std::system_error& refused) {
        failure = "no thread could be started to write it: " + systemReason(refused.code().value());
        return true;
    }
    isAccepting.store(true, std::memory_order_relaxed);
    return true;
}

void BackgroundFileWriter::append(const char* data, std::size_t size)
{
    // The common case after a failure, without the lock.
    if (!accepting())
        return;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!accepting())
        return;
    if (held.size() + size > HeldLimit) {
        giveUp("the disk could not keep up: " + std::to_string(HeldLimit / (1024 * 1024)) +
               " MiB waited to be written");
        return;
    }
    held.append(data, size);
}

void BackgroundFileWriter::flushNow()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        flushWanted = true;
    }
    wake.notify_one();
}

bool BackgroundFileWriter::close(std::string& error)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (descriptor < 0)
            return true;
        isAccepting.store(false, std::memory_order_relaxed);
        stopping = true;
    }
    wake.notify_one();
    if (thread.joinable())
        thread.join();
    std::string problem;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        problem = failure;
    }
    // Some file systems (NFS) report a failed write only when the file is closed.
    if (FileCalls::close(descriptor) != 0 && problem.empty())
        problem = systemReason(errno);
    descriptor = -1;
    if (problem.empty())
        return true;
    error = problem;
    return false;
}

void BackgroundFileWriter::run()
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastSync = Clock::now();
    bool unsynced = false;
    std::unique_lock<std::mutex> lock(mutex);
    while (failure.empty()) {
        wake.wait_until(lock, Clock::now() + WriteInterval,
                        [this] { return flushWanted || stopping || !failure.empty(); });
        if (!failure.empty())
            break;
        flushWanted = false;
        const bool last = stopping;
        writing.swap(held);
        lock.unlock();

        std::string problem;
        if (!writing.empty()) {
            problem = writeAll(writing);
            writing.clear();
            unsynced = true;
        }
        if (problem.empty() && unsynced && (last || Clock::now() - lastSync >= SyncInterval)) {
            problem = sync();
            lastSync = Clock::now();
            unsynced = false;
        }

        lock.lock();
        if (!problem.empty())
            giveUp(problem);
        else if (last)
            break;
    }
    std::string().swap(writing);
}

void BackgroundFileWriter::giveUp(std::string reason)
{
    if (failure.empty())
        failure = std::move(reason);
    isAccepting.store(false, std::memory_order_relaxed);
    std::string().swap(held);
}

std::string BackgroundFileWriter::writeAll(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const long long written = FileCalls::writeSome(descriptor, text.data() + done, text.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written == 0) {
            return systemReason(ENOSPC);
        } else if (errno != EINTR) {
            return systemReason(errno);
        }
    }
    return {};
}

std::string BackgroundFileWriter::sync()
{
    if (!syncable || FileCalls::syncData(descriptor) == 0)
        return {};
    // A device or a pipe has nothing to sync.
    if (errno == EINVAL || errno == EROFS) {
        syncable = false;
        return {};
    }
    return systemReason(errno);
}
