// Hands run records to a sink (the calibration history, a report) on a thread of its own, one at
// a time in the order given, so that the journal's lock, a sync on a slow disk or a file that
// never answers cannot hold up the thread that ended the run: a window's GUI thread, a Tango
// device's worker. A plain std::thread with a std::mutex queue, which ThreadSanitizer follows
// (Qt's thread pool hands its tasks over inside Qt, where it cannot).
//
//     JournalWriter writer(journal);                  // a shared_ptr: the thread keeps it alive
//     writer.setFailureNotifier([this] { QMetaObject::invokeMethod(this, "showFailure",
//                                                                   Qt::QueuedConnection); });
//     writer.append(worker.lastRecord());              // returns at once
//     ... in showFailure(): if (const auto reason = writer.takeFailure()) show(*reason);
//                           else if (!writer.isFailing()) hide();
//
// A program says a journal it cannot write once for each spell of failures: takeFailure() gives
// the reason of the failure that began the spell, once.
#pragma once

#include "runrecordsink.h"

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class JournalWriter
{
public:
    // How long the destructor waits for the records still queued: a sync or a write that hangs
    // (a stuck NFS server or device) must not hang the program that quits.
    static constexpr std::chrono::milliseconds DrainBound{3000};

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

    // Called on the writer's thread, without arguments, after each record handed to the sink,
    // taken or not (a window shows the new run in its history, or that the journal fails). Set it
    // before the first append(). Never called once the destructor has returned.
    void setFailureNotifier(std::function<void()> notifier);
    // The reason of the failure that began the present spell, once; from any thread.
    std::optional<QString> takeFailure();
    // True from a record the sink could not take until it takes one again; from any thread.
    bool isFailing();

    // Waits until every record queued so far has been handed to the sink, at most for the bound.
    // False when the bound passed first (a sink that hangs).
    bool waitUntilWritten(std::chrono::milliseconds bound);

private:
    struct Queue;
    static void writeQueued(const std::shared_ptr<Queue>& queue);
    void sayNotWritten(const Queue& queue) const;

    std::shared_ptr<Queue> queue; // shared with the thread, which may outlive the writer
    std::chrono::milliseconds drainBound;
    std::thread thread; // joined, or left to end on its own when the sink hangs
};
