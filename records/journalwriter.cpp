#include "journalwriter.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>

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
    QVector<RunRecord> writing; // the records being handed to the sink
    bool stopping = false;
    bool ended = false;
    bool failing = false; // the last records handed over were not taken
    QStringList notWritten;
    int notWrittenCount = 0;
    // Its own lock, held while it is called, so that the destructor can take it away for good
    // while the sink hangs.
    std::mutex notifierMutex;
    std::function<void()> failureNotifier;
};

namespace {

QString runName(const RunRecord& record)
{
    return QStringLiteral("the run on %1 started %2")
        .arg(record.locator, record.started.toString(Qt::ISODate));
}

} // namespace

JournalWriter::JournalWriter(std::shared_ptr<RunRecordSink> sink, std::chrono::milliseconds drainBound)
    : queue(std::make_shared<Queue>(std::move(sink))), drainBound(drainBound)
{
    try {
        thread = std::thread(writeQueued, queue);
    } catch (const std::system_error&) {
        // No thread to be had (the thread or memory limit): each record is written as it comes.
    }
}

JournalWriter::~JournalWriter()
{
    if (!thread.joinable())
        return;
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
    // after the records it is on, calls no one back.
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
    for (const RunRecord& record : queue.writing)
        say(record, "may not be in");
    for (const RunRecord& record : queue.records)
        say(record, "is not written to");
}

void JournalWriter::append(const RunRecord& record)
{
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->records.push_back(record);
    if (!thread.joinable()) {
        writeBatch(*queue, lock);
        return;
    }
    lock.unlock();
    queue->queued.notify_one();
}

void JournalWriter::setFailureNotifier(std::function<void()> notifier)
{
    const std::lock_guard<std::mutex> lock(queue->notifierMutex);
    queue->failureNotifier = std::move(notifier);
}

QStringList JournalWriter::takeNotWritten()
{
    const std::lock_guard<std::mutex> lock(queue->mutex);
    return std::exchange(queue->notWritten, {});
}

int JournalWriter::notWrittenCount()
{
    const std::lock_guard<std::mutex> lock(queue->mutex);
    return queue->notWrittenCount;
}

bool JournalWriter::isFailing()
{
    const std::lock_guard<std::mutex> lock(queue->mutex);
    return queue->failing;
}

bool JournalWriter::waitUntilWritten(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(queue->mutex);
    return queue->written.wait_for(lock, bound,
                                   [this] { return queue->records.empty() && queue->writing.isEmpty(); });
}

void JournalWriter::writeBatch(Queue& q, std::unique_lock<std::mutex>& lock)
{
    // Runs that ended while the sink was busy go together: one lock, one write and one sync.
    for (RunRecord& record : q.records)
        q.writing.append(std::move(record));
    q.records.clear();
    lock.unlock();
    QString error;
    const bool appended = q.sink->appendAll(q.writing, error);
    lock.lock();
    q.failing = !appended;
    if (!appended) {
        q.notWrittenCount += q.writing.size();
        for (const RunRecord& record : q.writing)
            q.notWritten << error + QStringLiteral("; ") + runName(record) + QStringLiteral(" is not in it");
    }
    q.writing.clear();
    // Outside the queue's lock, so that the notifier may take the failures at once.
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

void JournalWriter::writeQueued(const std::shared_ptr<Queue>& queue)
{
    Queue& q = *queue;
    std::unique_lock<std::mutex> lock(q.mutex);
    for (;;) {
        q.queued.wait(lock, [&] { return q.stopping || !q.records.empty(); });
        if (q.records.empty())
            break; // stopping, with everything written
        writeBatch(q, lock);
    }
    q.ended = true;
    q.written.notify_all();
}
