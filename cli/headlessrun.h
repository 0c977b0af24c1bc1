// One calibration without a window: runs the worker, writes every log fragment to standard
// output as it arrives, says on standard error why a controller could not be opened, and tells
// from the run's ending which exit status the program returns.
#pragma once

#include "standardoutput.h"
#include "workthread.h"

#include <QObject>
#include <QString>

class HeadlessRun : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus
    {
        Calibrated = 0,
        CalibratedWithErrors = 1,
        NotOpened = 2,
        Aborted = 3,
        // The log could not be written to standard output; the run was aborted.
        OutputFailed = 74,
    };

    HeadlessRun();

    // Starts the run; finished(status) follows when the routine has ended.
    void start(const QString& locator);
    // Asks the routine to stop, also before start(); a calibrating channel is stopped and the
    // connection closed.
    void abort();

signals:
    void finished(int status);

private:
    void print(const QString& message);
    ExitStatus exitStatus() const;

    WorkThread worker;
    StandardOutput output;
    QString openFailureReason;
    bool abortRequested = false;
};
