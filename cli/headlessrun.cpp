#include "headlessrun.h"

#include <cstdio>

HeadlessRun::HeadlessRun()
{
    connect(&worker, &WorkThread::logMessage, this, &HeadlessRun::print);
    connect(&worker, &WorkThread::openFailed, this,
            [this](const QString& reason) { openFailureReason = reason; });
    connect(&worker, &QThread::finished, this, [this] {
        // After the log, which stays exactly as the window shows it.
        if (!openFailureReason.isEmpty())
            std::fprintf(stderr, "vkr-calibrate: %s\n", qPrintable(openFailureReason));
        emit finished(exitStatus());
    });
}

void HeadlessRun::start(const QString& locator)
{
    worker.setLocator(locator);
    worker.startRun();
    if (abortRequested)
        worker.abort();
}

void HeadlessRun::abort()
{
    abortRequested = true;
    worker.abort();
}

// A log that cannot reach its reader is no calibration record: the run is stopped, a channel
// that calibrates is stopped with it, and the program says the output failed.
void HeadlessRun::print(const QString& message)
{
    if (!output.write(message.toUtf8()))
        abort();
}

HeadlessRun::ExitStatus HeadlessRun::exitStatus() const
{
    if (output.failed())
        return OutputFailed;
    const WorkThread::Ending ending = worker.lastEnding();
    switch (ending.kind) {
    case WorkThread::Ending::NotOpened:
        return NotOpened;
    case WorkThread::Ending::Aborted:
        return Aborted;
    case WorkThread::Ending::Finished:
        break;
    }
    return ending.errors == 0 ? Calibrated : CalibratedWithErrors;
}
