#include "calibrationbatch.h"

#include "argumenttext.h"

#include <QHash>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

namespace {

// Each locator as shown in front of its lines; a locator given again gets #2, #3, … so that every
// run's lines can be told apart.
QStringList labels(const QStringList& locators)
{
    QStringList labels;
    QSet<QString> taken;
    // The number to try next for each locator given more than once: a rack of a thousand equal
    // locators would otherwise try every number taken before it, a million tries in all.
    QHash<QString, int> nextRepeat;
    for (const QString& locator : locators) {
        const QString shown = ArgumentText::shown(locator);
        QString label = shown;
        int& repeat = nextRepeat[shown];
        for (repeat = std::max(repeat, 2); taken.contains(label); ++repeat)
            label = shown + QLatin1Char('#') + QString::number(repeat);
        taken.insert(label);
        labels << label;
    }
    return labels;
}

} // namespace

int CalibrationBatch::jobsWithinFileLimit(std::uint64_t openFileLimit)
{
    const std::uint64_t room =
        openFileLimit > FilesReserved ? (openFileLimit - FilesReserved) / FilesPerRun : 0;
    return static_cast<int>(std::clamp<std::uint64_t>(room, 1, std::numeric_limits<int>::max()));
}

int CalibrationBatch::defaultJobs(std::uint64_t openFileLimit, std::uint64_t threadLimit)
{
    // The main thread is one of the threads the limit counts.
    const std::uint64_t threads = threadLimit > 1 ? threadLimit - 1 : 1;
    return static_cast<int>(std::min<std::uint64_t>(jobsWithinFileLimit(openFileLimit), threads));
}

CalibrationBatch::CalibrationBatch(const QStringList& locators, int jobs, RunAftermath* aftermath,
                                   SerialPortObserver* conversationObserver)
    : aftermath(aftermath), jobs(std::max(jobs, 1)), unfinished(static_cast<int>(locators.size()))
{
    // Called on the writers' threads: only a queued call by name crosses over.
    if (aftermath)
        aftermath->setFailureNotifier(
            [this] { QMetaObject::invokeMethod(this, "sayRecordsNotWritten", Qt::QueuedConnection); });
    const QStringList shownLabels = labels(locators);
    for (int i = 0; i < locators.size(); ++i) {
        const QString prefix =
            locators.size() > 1 ? QLatin1Char('[') + shownLabels.at(i) + QStringLiteral("] ") : QString();
        auto run = std::make_unique<HeadlessRun>(locators.at(i), output, prefix);
        HeadlessRun* started = run.get();
        started->setConversationObserver(conversationObserver);
        if (!prefix.isEmpty())
            messagePrefix.add(started->workerThread(), prefix);
        // Output that cannot be written is lost for every run, so every run stops.
        connect(started, &HeadlessRun::outputLost, this, &CalibrationBatch::abort);
        connect(started, &HeadlessRun::finished, this, [this, started](int status, const RunRecord& record) {
            runFinished(started, status, record);
        });
        runs.push_back(std::move(run));
    }
}

// A writer calls the notifier just after it has handed its records over, so that a write can still
// be calling it when the batch has seen everything written and ends. Taking the notifier away
// waits for a call in progress; a call it made has posted an event that goes with the batch.
CalibrationBatch::~CalibrationBatch()
{
    if (aftermath)
        aftermath->setFailureNotifier(nullptr);
}

// Starts the runs waiting for their turn, as many as may go now; called again as each run ends.
void CalibrationBatch::start()
{
    while (!aborting && going.size() < jobs && nextToStart < runs.size()) {
        HeadlessRun* run = runs[nextToStart].get();
        if (!run->start()) {
            // A thread refused while others run is likely to be had once one of them has ended.
            if (!going.isEmpty()) {
                if (!refusalSaid)
                    std::fprintf(stderr, "vkr-calibrate: the system refused a new thread (memory or thread "
                                         "limit reached); the runs left start as running ones end\n");
                refusalSaid = true;
                return;
            }
            ++nextToStart;
            run->endRefused();
            continue;
        }
        ++nextToStart;
        going.insert(run);
    }
}

void CalibrationBatch::abort()
{
    aborting = true;
    for (const auto& run : runs)
        run->abort();
}

void CalibrationBatch::runFinished(HeadlessRun* run, int status, const RunRecord& record)
{
    if (aftermath)
        aftermath->keep(record);
    worstStatus = std::max(worstStatus, status);
    going.remove(run);
    if (--unfinished == 0)
        finish();
    else
        start();
}

void CalibrationBatch::sayRecordsNotWritten()
{
    if (!aftermath)
        return;
    const auto say = [](const char* what, const std::optional<QString>& lines) {
        if (lines)
            for (const QString& line : lines->split(QLatin1Char('\n')))
                std::fprintf(stderr, "vkr-calibrate: cannot write %s: %s\n", what, qPrintable(line));
    };
    say("the report", aftermath->takeReportFailure());
    const QString history =
        QStringLiteral("the calibration history %1").arg(ArgumentText::shown(aftermath->historyPath()));
    say(qPrintable(history), aftermath->takeFailure());
}

void CalibrationBatch::finish()
{
    if (aftermath) {
        // The writers wait for a lock others hold at most its bound, and a sync that hangs is left
        // by the writers' own drain when the program goes.
        aftermath->waitUntilWritten(JournalWriter::DrainBound);
        sayRecordsNotWritten();
        if (aftermath->reportRecordsLost() > 0 || aftermath->historyRecordsLost() > 0)
            worstStatus = std::max(worstStatus, int(OutputFailed));
    }
    emit finished(worstStatus);
}

#include "moc_calibrationbatch.cpp"
