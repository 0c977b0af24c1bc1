#include "journalwriter.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

// Everything the writer's thread touches: the thread holds it, so that it stays whole when the
// writer gives up waiting and goes.
struct JournalWriter::Queue
{
    explicit Queue(std::shared_ptr<RunRecordSink> sink) : sink(std::move(sink)) {}

    const std::shared_ptr<RunRecordSink> sink;
    std::mutex mutex;
    std::condition_variable queued;  // a record was queued, or the writer is to stop
    std::condition_variable written; // the queue ran dry, or the thread ended
    std::deque<RunRecord> records;
    std::optional<RunRecord> writing; // the record being handed to the sink
    bool stopping = false;
    bool ended = false;
    bool failing = false; // the last record handed over was not taken
    std::optional<QString> failure;
    // Its own lock, held while it is called, so that the destructor can take it away for good
    // while the sink hangs.
    std::mutex notifierMutex;
    std::function<void()> failureNotifier;
};

JournalWriter::JournalWriter(std::shared_ptr<RunRecordSink> sink, std::chrono::milliseconds drainBound)
    : queue(std::make_shared<Queue>(std::move(sink))), drainBound(drainBound), thread(writeQueued, queue)
{
}

JournalWriter::~JournalWriter()
{
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->stopping = true;
    queue->queued.notify_one();
    if (queue->written.wait_for(lock, drainBound, [this] { return queue->ended; })) {
        lock.unlock();
        thread.join();
        return;
    }
    thread.detach();
    // The sink hangs: what is still queued is dropped and said, and the thread, which ends
    // after the record it is on, calls no one back.
    sayNotWritten(*queue);
    queue->records.clear();
    lock.unlock();
    const std::lock_guard<std::mutex> notifierLock(queue->notifierMutex);
    queue->failureNotifier = nullptr;
}

void JournalWriter::sayNotWritten(const Queue& queue) const
{
    const auto say = [&](const RunRecord& record, const char* state) {
        std::fprintf(stderr, "vkr: the run on %s started %s %s %s\n", qPrintable(record.locator),
                     qPrintable(record.started.toString(Qt::ISODate)), state, qPrintable(queue.sink->path()));
    };
    std::fprintf(stderr, "vkr: %s did not answer for %lld ms; leaving without waiting for it\n",
                 qPrintable(queue.sink->path()), static_cast<long long>(drainBound.count()));
    if (queue.writing)
        say(*queue.writing, "may not be in");
    for (const RunRecord& record : queue.records)
        say(record, "is not written to");
}

void JournalWriter::append(const RunRecord& record)
{
    {
        const std::lock_guard<std::mutex> lock(queue->mutex);
        queue->records.push_back(record);
    }
    queue->queued.notify_one();
}

void JournalWriter::setFailureNotifier(std::function<void()> notifier)
{
    const std::lock_guard<std::mutex> lock(queue->notifierMutex);
    queue->failureNotifier = std::move(notifier);
}

std::optional<QString> JournalWriter::takeFailure()
{
    const std::lock_guard<std::mutex> lock(queue->mutex);
    std::optional<QString> taken;
    taken.swap(queue->failure);
    return taken;
}

bool JournalWriter::isFailing()
{
    const std::lock_guard<std::mutex> lock(queue->mutex);
    return queue->failing;
}

bool JournalWriter::waitUntilWritten(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(queue->mutex);
    return queue->written.wait_for(lock, bound, [this] { return queue->records.empty() && !queue->writing; });
}

void JournalWriter::writeQueued(const std::shared_ptr<Queue>& queue)
{
    Queue& q = *queue;
    std::unique_lock<std::mutex> lock(q.mutex);
    for (;;) {
        q.queued.wait(lock, [&] { return q.stopping || !q.records.empty(); });
        if (q.records.empty())
            break; // stopping, with everything written
        q.writing = std::move(q.records.front());
        q.records.pop_front();
        lock.unlock();
        QString error;
        const bool appended = q.sink->append(*q.writing, error);
        lock.lock();
        q.writing.reset();
        if (appended == q.failing) {
            q.failing = !appended;
            q.failure = q.failing ? std::optional<QString>(error) : std::nullopt;
        }
        // Outside the queue's lock, so that the notifier may take the failure at once.
        lock.unlock();
        {
            const std::lock_guard<std::mutex> notifierLock(q.notifierMutex);
            if (q.failureNotifier)
                q.failureNotifier();
        }
        lock.lock();
        if (q.records.empty())
            q.written.notify_all();
    }
    q.ended = true;
    q.written.notify_all();
}
