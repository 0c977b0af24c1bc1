// One calibration without a window: runs the worker, writes every log fragment to standard
// output as it arrives and tells from the run's ending which exit status the program returns.
#pragma once

#include "workthread.h"

#include <QObject>
#include <QString>
#include <atomic>

class HeadlessRun : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus {
        Calibrated = 0,
        CalibratedWithErrors = 1,
        NotOpened = 2,
        Aborted = 3,
    };

    HeadlessRun();

    // Starts the run; finished(status) follows when the routine has ended.
    void start(const QString& locator);
    // Asks the routine to stop. Only sets atomic flags, so it is safe to call from a signal
    // handler.
    void abort()
    {
        abortRequested = true;
        worker.abort();
    }

    // The exit status that a run's last log fragment stands for.
    static ExitStatus statusOf(const QString& lastMessage);

signals:
    void finished(int status);

private:
    void print(const QString& message);

    WorkThread worker;
    QString lastMessage;
    // The routine clears its own abort flag in its first step; a request that came before that
    // is repeated with every message, all of which follow that step.
    std::atomic_bool abortRequested{false};
};
