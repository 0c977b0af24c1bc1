// Hands run records to a sink (the calibration history, a report) on a thread of its own, one at
// a time in the order given, so that the journal's lock, a sync on a slow disk or a file that
// never answers cannot hold up the thread that ended the run: a window's GUI thread, a Tango
// device's worker. A plain std::thread with a std::mutex queue, which ThreadSanitizer follows
// (Qt's thread pool hands its tasks over inside Qt, where it cannot).
//
//     JournalWriter writer(journal);                  // journal outlives writer
//     writer.setFailureNotifier([this] { QMetaObject::invokeMethod(this, "showFailure",
//                                                                   Qt::QueuedConnection); });
//     writer.append(worker.lastRecord());              // returns at once
//     ... in showFailure(): if (const auto reason = writer.takeFailure()) show(*reason);
#pragma once

#include "runrecordsink.h"

#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class JournalWriter
{
public:
    // The sink is not owned and must outlive the writer.
    explicit JournalWriter(RunRecordSink& sink);
    // Writes every record still queued, then ends the thread: a run that ended is never lost to
    // a program that quits.
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Queues the record for the sink; returns at once.
    void append(const RunRecord& record);

    // Called on the writer's thread, without arguments, after the first record the sink could not
    // take (a program says a journal it cannot write once). Set it before the first append().
    void setFailureNotifier(std::function<void()> notifier);
    // The reason of that first failure, once; from any thread.
    std::optional<QString> takeFailure();

    // Waits until every record queued so far has been handed to the sink, at most for the bound.
    // False when the bound passed first (a sink that hangs).
    bool waitUntilWritten(std::chrono::milliseconds bound);

private:
    void writeQueued();

    RunRecordSink& sink;
    std::function<void()> failureNotifier;
    std::mutex mutex;
    std::condition_variable queued;  // a record was queued, or the writer is to stop
    std::condition_variable written; // the queue ran dry
    std::deque<RunRecord> records;
    bool writing = false; // a record is being handed to the sink
    bool stopping = false;
    bool failedBefore = false;
    std::optional<QString> failure;
    std::thread thread; // last: started once everything above is there
};
