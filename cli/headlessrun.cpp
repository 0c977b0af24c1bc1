#include "headlessrun.h"

#include "argumenttext.h"

#include <cstdio>

HeadlessRun::HeadlessRun(const QString& locator, StandardOutput& output, const QString& prefix)
    : output(output), locatorText(locator), prefix(prefix)
{
    worker.setLocator(locatorText);
    worker.setSource(RunRecord::Source::CommandLine);
    connect(&worker, &WorkThread::logMessage, this, &HeadlessRun::print);
    connect(&worker, &QThread::finished, this, &HeadlessRun::end);
}

bool HeadlessRun::start()
{
    if (stage != Stage::Waiting)
        return true;
    if (!worker.startRun())
        return false;
    stage = Stage::Started;
    return true;
}

void HeadlessRun::endRefused()
{
    if (stage != Stage::Waiting)
        return;
    stage = Stage::Started;
    // Ended from the event loop, as a run that ends in its thread is, so that whoever gave it up
    // sees it end only after this has returned. The worker's last record says why.
    QMetaObject::invokeMethod(this, &HeadlessRun::end, Qt::QueuedConnection);
}

void HeadlessRun::abort()
{
    switch (stage) {
    case Stage::Waiting:
        stage = Stage::EndedUnstarted;
        QMetaObject::invokeMethod(this, &HeadlessRun::endUnstarted, Qt::QueuedConnection);
        break;
    case Stage::Started:
        worker.abort();
        break;
    case Stage::EndedUnstarted:
        break;
    }
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
                     qPrintable(ArgumentText::shown(record.openFailureReason)));
    emit finished(exitStatus(), record);
}

// Neither opened nor tried: no channels, and the time of the abort as its start and end.
void HeadlessRun::endUnstarted()
{
    record = worker.newRecord();
    record.outcome = RunRecord::Outcome::Aborted;
    record.finished = record.started;
    print(QStringLiteral("Aborted before starting.\n"));
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

#include "moc_headlessrun.cpp"
