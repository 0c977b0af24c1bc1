// Hands run records to a sink (the calibration history, a report) on a thread of its own, in the
// order given, so that the lock of a file others append to, a sync on a slow disk or a file that
// never answers cannot hold up the thread that ended the run: a window's GUI thread, a Tango
// device's worker, the command line's event loop. The records queued while the sink was busy go
// to it together, with one write and one sync. A plain std::thread with a std::mutex queue,
// which ThreadSanitizer follows (Qt's thread pool hands its tasks over inside Qt, where it
// cannot). RunAftermath is what the front-ends use; it holds one writer for each sink.
#pragma once

#include "runrecordsink.h"

#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class JournalWriter
{
public:
    // How long the destructor waits for the records still queued: long enough for the file's
    // lock, which other programs take in turn, and a sync, but a sync or a write that hangs (a
    // stuck NFS server or device) must not hang the program that quits.
    static constexpr std::chrono::milliseconds DrainBound{12000};

    // The writer's thread shares the sink, so that a thread left behind by the destructor never
    // writes through a sink that is gone.
    explicit JournalWriter(std::shared_ptr<RunRecordSink> sink,
                           std::chrono::milliseconds drainBound = DrainBound);
    // Writes every record still queued, then ends the thread: a run that ended is never lost to
    // a program that quits. When that takes longer than the drain bound, it leaves the thread to
    // end on its own, drops what is still queued and names each run not written on stderr.
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Queues the record for the sink; returns at once.
    void append(const RunRecord& record);

    // Called on the writer's thread, without arguments, after each batch of records handed to the
    // sink, taken or not (a window shows the new run in its history, or that the journal fails).
    // Set it before the first append(). Never called once the destructor has returned.
    void setFailureNotifier(std::function<void()> notifier);
    // One text for each record the sink could not take since the last call, naming its run and the
    // reason; from any thread.
    QStringList takeNotWritten();
    // How many records the sink could not take so far; from any thread.
    int notWrittenCount();
    // True from a record the sink could not take until it takes one again; from any thread.
    bool isFailing();

    // Waits until every record queued so far has been handed to the sink, at most for the bound.
    // False when the bound passed first (a sink that hangs).
    bool waitUntilWritten(std::chrono::milliseconds bound);

private:
    struct Queue;
    static void writeQueued(const std::shared_ptr<Queue>& queue);
    // Hands every record queued to the sink; the queue's lock is held on entry and on return.
    static void writeBatch(Queue& queue, std::unique_lock<std::mutex>& lock);
    void sayNotWritten(const Queue& queue) const;

    std::shared_ptr<Queue> queue; // shared with the thread, which may outlive the writer
    std::chrono::milliseconds drainBound;
    std::thread thread; // joined, or left to end on its own when the sink hangs; none when the
                        // system refused it, and append() then writes on the caller's thread
};
