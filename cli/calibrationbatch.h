// Calibrates several controllers side by side, each with its own worker and connection, at most
// a given number at a time: their logs go to standard output in whole lines behind "[LOCATOR] "
// (one controller alone writes its log unchanged), an optional report and the calibration history
// get one object per run, and the batch's exit status is the largest of its runs' statuses.
#pragma once

#include "headlessrun.h"
#include "runaftermath.h"
#include "standardoutput.h"
#include "threadmessageprefix.h"

#include <QObject>
#include <QSet>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

class CalibrationBatch : public QObject
{
    Q_OBJECT

public:
    // The open files one run may hold at once: its serial port and its thread's event dispatcher
    // (measured: 2 for a serial run, 1 for a library run, with Qt's eventfd; a dispatcher on a pipe
    // takes 2), with one to spare for a library's own.
    static constexpr int FilesPerRun = 4;
    // The open files the program holds besides its runs: standard streams, the main event loop,
    // the signal socket pair, the report, the recording, a library being loaded (measured: 8).
    static constexpr int FilesReserved = 32;

    // How many runs the open file limit has room for side by side; at least 1.
    static int jobsWithinFileLimit(std::uint64_t openFileLimit);
    // How many runs go side by side unless --jobs says otherwise: as many as the open file limit
    // has room for, and no more than the system is likely to start threads for; at least 1.
    static int defaultJobs(std::uint64_t openFileLimit, std::uint64_t threadLimit);

    // Each run's record goes to the aftermath (the report, the history) as the run ends; it, and the
    // observer of the runs' serial lines (a conversation being recorded), must outlive the batch's runs. A
    // record that could not be written is said with its run and makes the status OutputFailed, but stops
    // no run. At most jobs runs go at a time; the others
    // start, in the given order, as runs end. A run whose thread the system refuses waits, at the head of the
    // queue, for a running one to end; only a run refused while none is running ends as not opened.
    CalibrationBatch(const QStringList& locators, int jobs, RunAftermath* aftermath = nullptr,
                     SerialPortObserver* conversationObserver = nullptr);
    // The aftermath, which outlives the batch, calls it back no more.
    ~CalibrationBatch() override;

    void start();
    // Asks every run to stop; each stops its calibrating channel and closes its connection. The
    // runs still waiting are never started: each ends as aborted.
    void abort();

signals:
    void finished(int status);

private:
    void runFinished(HeadlessRun* run, int status, const RunRecord& record);
    // Says each record the report or the history could not take since the last call.
    Q_INVOKABLE void sayRecordsNotWritten();
    // Waits for the records to be written, says those that were not, and ends the batch.
    void finish();

    StandardOutput output;
    RunAftermath* aftermath;
    // Before the runs: their worker threads have ended by the time it goes.
    ThreadMessagePrefix messagePrefix;
    std::vector<std::unique_ptr<HeadlessRun>> runs;
    int jobs;
    std::size_t nextToStart = 0;
    QSet<const HeadlessRun*> going; // started, with their thread, and not finished
    int unfinished = 0;
    bool aborting = false;
    int worstStatus = Calibrated;
    bool refusalSaid = false;
};
