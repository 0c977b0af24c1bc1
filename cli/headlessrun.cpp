#include "headlessrun.h"

#include <cstdio>

HeadlessRun::HeadlessRun(const QString& locator, StandardOutput& output, const QString& prefix)
    : output(output), locatorText(locator), prefix(prefix)
{
    connect(&worker, &WorkThread::logMessage, this, &HeadlessRun::print);
    connect(&worker, &QThread::finished, this, &HeadlessRun::end);
}

void HeadlessRun::start()
{
    worker.setLocator(locatorText);
    worker.startRun();
    if (abortRequested)
        worker.abort();
}

void HeadlessRun::abort()
{
    abortRequested = true;
    worker.abort();
}

void HeadlessRun::print(const QString& message)
{
    if (prefix.isEmpty()) {
        write(message);
        return;
    }
    partialLine += message;
    const int lastLineFeed = partialLine.lastIndexOf(QLatin1Char('\n'));
    if (lastLineFeed < 0)
        return;
    QString lines;
    for (const QString& line : partialLine.left(lastLineFeed).split(QLatin1Char('\n')))
        lines += prefix + line + QLatin1Char('\n');
    partialLine.remove(0, lastLineFeed + 1);
    write(lines);
}

// A log that cannot reach its reader is no calibration record: the run is stopped, a channel
// that calibrates is stopped with it, and the program says the output failed.
bool HeadlessRun::write(const QString& text)
{
    if (output.write(text.toUtf8()))
        return true;
    abort();
    emit outputLost();
    return false;
}

void HeadlessRun::end()
{
    record = worker.lastRecord();
    if (!partialLine.isEmpty()) {
        write(prefix + partialLine + QLatin1Char('\n'));
        partialLine.clear();
    }
    // After the log, which stays exactly as the window shows it.
    if (!record.openFailureReason.isEmpty())
        std::fprintf(stderr, "vkr-calibrate: %s%s\n", qPrintable(prefix),
                     qPrintable(record.openFailureReason));
    emit finished(exitStatus(), record);
}

ExitStatus HeadlessRun::exitStatus() const
{
    if (output.failed())
        return OutputFailed;
    switch (record.outcome) {
    case RunRecord::Outcome::NotOpened:
        return NotOpened;
    case RunRecord::Outcome::Aborted:
        return Aborted;
    case RunRecord::Outcome::Incomplete:
        return CalibratedWithErrors; // nothing was calibrated: no script may take that for success
    case RunRecord::Outcome::Finished:
        break;
    }
    return record.errors == 0 ? Calibrated : CalibratedWithErrors;
}
