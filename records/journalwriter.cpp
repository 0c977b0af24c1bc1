#include "journalwriter.h"

JournalWriter::JournalWriter(RunRecordSink& sink) : sink(sink), thread([this] { writeQueued(); }) {}

JournalWriter::~JournalWriter()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    queued.notify_one();
    thread.join();
}

void JournalWriter::append(const RunRecord& record)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        records.push_back(record);
    }
    queued.notify_one();
}

void JournalWriter::setFailureNotifier(std::function<void()> notifier)
{
    const std::lock_guard<std::mutex> lock(mutex);
    failureNotifier = std::move(notifier);
}

std::optional<QString> JournalWriter::takeFailure()
{
    const std::lock_guard<std::mutex> lock(mutex);
    std::optional<QString> taken;
    taken.swap(failure);
    return taken;
}

bool JournalWriter::waitUntilWritten(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(mutex);
    return written.wait_for(lock, bound, [this] { return records.empty() && !writing; });
}

void JournalWriter::writeQueued()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        queued.wait(lock, [this] { return stopping || !records.empty(); });
        if (records.empty())
            return; // stopping, with everything written
        const RunRecord record = std::move(records.front());
        records.pop_front();
        writing = true;
        lock.unlock();
        QString error;
        const bool appended = sink.append(record, error);
        lock.lock();
        writing = false;
        if (!appended && !failedBefore) {
            failedBefore = true;
            failure = error;
            // Outside the lock, so that the notifier may take the failure at once.
            if (failureNotifier) {
                lock.unlock();
                failureNotifier();
                lock.lock();
            }
        }
        if (records.empty())
            written.notify_all();
    }
}
