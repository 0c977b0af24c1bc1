// What happens to a run's record once the run has ended, the same for the window, the command
// line and the Tango server: it goes to the report, when there is one, and to the calibration
// history, unless VKR_NO_HISTORY turns that off, each through a writer of its own, so that
// neither a lock others hold nor a slow disk holds up the thread that ended the run. A record
// that could not be written within its bound is said, naming its run, and counted.
//
//     RunAftermath aftermath;                     // the history at its default path
//     aftermath.setFailureNotifier([this] { QMetaObject::invokeMethod(this, "written",
//                                                                     Qt::QueuedConnection); });
//     aftermath.keep(worker.lastRecord());        // returns at once
//     ... in written(): if (const auto reason = aftermath.takeFailure()) show(*reason);
//                       else if (!aftermath.isFailing()) hide();
#pragma once

#include "journalwriter.h"
#include "runrecordsink.h"

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class RunAftermath
{
public:
    // The history at its default path, or none when VKR_NO_HISTORY turns it off.
    static std::shared_ptr<RunRecordSink> defaultHistory();

    // Either sink may be missing; a program with neither keeps nothing.
    explicit RunAftermath(std::shared_ptr<RunRecordSink> history = defaultHistory(),
                          std::shared_ptr<RunRecordSink> report = nullptr);

    // Hands the record to the report and the history; returns at once.
    void keep(const RunRecord& record);

    // Called on a writer's thread, without arguments, after records were handed to a sink,
    // taken or not. Set it before the first keep(). Setting none waits for a call in progress,
    // after which none comes: so the notifier's target may go before the aftermath does.
    void setFailureNotifier(const std::function<void()>& notifier);
    // The records the history could not take since the last call, one line each naming its run
    // and the reason; nothing when it took them all.
    std::optional<QString> takeFailure();
    // The same for the report.
    std::optional<QString> takeReportFailure();
    // True from a record the history could not take until it takes one again.
    bool isFailing();
    // The records not written so far, to the report and to the history.
    int reportRecordsLost();
    int historyRecordsLost();
    // Waits until every record kept so far went to its sinks, at most for the bound.
    bool waitUntilWritten(std::chrono::milliseconds bound);

    QString historyPath() const;
    QString reportPath() const;

private:
    static std::optional<QString> take(JournalWriter* writer);

    const std::shared_ptr<RunRecordSink> history;
    const std::shared_ptr<RunRecordSink> report;
    // The report's writer goes before the history's, each writing what it still holds.
    std::unique_ptr<JournalWriter> historyWriter;
    std::unique_ptr<JournalWriter> reportWriter;
};
