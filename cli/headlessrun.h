// One calibration without a window: runs a worker on one locator, writes its log to standard
// output, says on standard error why a controller could not be opened, and tells from the run's
// record which exit status it stands for.
#pragma once

#include "exitstatus.h"
#include "runrecord.h"
#include "standardoutput.h"
#include "workthread.h"

#include <QObject>
#include <QString>

class HeadlessRun : public QObject
{
    Q_OBJECT

public:
    // With no prefix the log goes out fragment by fragment, exactly as the window shows it. With
    // one, it goes out in whole lines, each behind the prefix, so that runs side by side never
    // mix within a line; a last line without its line feed goes out when the run ends.
    HeadlessRun(const QString& locator, StandardOutput& output, const QString& prefix = QString());

    // Starts the run; finished() follows when the routine has ended. False when the system refused
    // the worker thread: the run still waits, to be started again or ended with endRefused().
    bool start();
    // Ends a run whose thread was refused, from the event loop: not opened, with the reason.
    void endRefused();
    // Asks the routine to stop; a calibrating channel is stopped and the connection closed. A run
    // not started yet is never started: it ends from the event loop as aborted, with one log line.
    void abort();

    QString locator() const { return locatorText; }
    // Who sees the run's serial line (a conversation being recorded); not owned.
    void setConversationObserver(SerialPortObserver* observer) { worker.setConversationObserver(observer); }
    // The thread the routine runs on, and writes its debug messages from.
    const QThread* workerThread() const { return &worker; }

signals:
    void finished(int status, const RunRecord& record);
    // Standard output could not take the log.
    void outputLost();

private:
    void print(const QString& message);
    bool write(const QString& text);
    void end();
    void endUnstarted();
    ExitStatus exitStatus() const;

    WorkThread worker;
    StandardOutput& output;
    const QString locatorText;
    const QString prefix;
    QString partialLine;
    RunRecord record;
    enum class Stage
    {
        Waiting,
        Started,
        EndedUnstarted
    } stage = Stage::Waiting;
};
