// Calibrates several controllers side by side, each with its own worker and connection, at most
// a given number at a time: their logs go to standard output in whole lines behind "[LOCATOR] "
// (one controller alone writes its log unchanged), an optional report and the calibration history
// get one object per run, and the batch's exit status is the largest of its runs' statuses.
#pragma once

#include "headlessrun.h"
#include "historyjournal.h"
#include "reportfile.h"
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
    // A bound on the threads the default starts at once (each reserves its stack); rigs with more
    // controllers are rare, and --jobs lifts it.
    static constexpr int MostJobsByDefault = 256;

    // How many runs go side by side unless --jobs says otherwise: as many as the open file limit
    // has room for, at least 1 and at most MostJobsByDefault.
    static int defaultJobs(std::uint64_t openFileLimit);

    // The report and the history, when given, are written as each run ends; they, and the observer
    // of the runs' serial lines (a conversation being recorded), must outlive the batch's runs. A history
    // that cannot be written is said once and changes no status. At most jobs runs go at a time; the others
    // start, in the given order, as runs end. A run whose thread the system refuses ends as not opened, and
    // from then on no more runs go at a time than went then (at least 1), so that the system's limit does not
    // refuse the runs after it.
    CalibrationBatch(const QStringList& locators, int jobs, ReportFile* report = nullptr,
                     HistoryJournal* history = nullptr, SerialPortObserver* conversationObserver = nullptr);

    void start();
    // Asks every run to stop; each stops its calibrating channel and closes its connection. The
    // runs still waiting are never started: each ends as aborted.
    void abort();

signals:
    void finished(int status);

private:
    void runFinished(HeadlessRun* run, int status, const RunRecord& record);

    StandardOutput output;
    ReportFile* report;
    HistoryJournal* history;
    // Before the runs: their worker threads have ended by the time it goes.
    ThreadMessagePrefix messagePrefix;
    std::vector<std::unique_ptr<HeadlessRun>> runs;
    int jobs;
    std::size_t nextToStart = 0;
    QSet<const HeadlessRun*> going; // started, with their thread, and not finished
    int unfinished = 0;
    bool aborting = false;
    int worstStatus = Calibrated;
    bool reportFailed = false;
};
