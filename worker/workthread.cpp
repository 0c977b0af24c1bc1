#include "workthread.h"

#include "controllerlibrary.h"
#include "resultcodes.h"

#include <QSysInfo>

using namespace ControllerValue;
using Step = RunRecord::Failure::Step;

WorkThread::WorkThread(QObject* parent) : QThread(parent) {}

WorkThread::~WorkThread()
{
    abort();
    wait();
    // The members the last run wrote are destroyed after this body: taking the run's lock once
    // hands them over from the run's thread as plainly as the next run's start does, where the
    // thread's own ending is invisible to ThreadSanitizer.
    const std::lock_guard<std::mutex> lastRunEnded(runMutex);
}

RunRecord WorkThread::lastRecord() const
{
    const std::lock_guard<std::mutex> lock(finishedRecordMutex);
    return finishedRecord;
}

void WorkThread::setLocator(const QString& locator)
{
    locatorText = locator;
}

void WorkThread::setLimits(const WorkerLimits& newLimits)
{
    limits = newLimits;
    connection.setTimeLimits(limits.replyByteTimeout, limits.writeStall);
}

// The flag is cleared here rather than in the new thread, so that an abort which comes before
// the thread has begun is not forgotten there.
bool WorkThread::startRun(Priority priority)
{
    if (isRunning())
        return true;
    abortRequested = false;
    start(priority);
    // QThread::start() only warns when no thread can be created (out of memory, the thread limit
    // reached): the thread then neither runs nor has finished, and finished() never comes.
    if (isRunning() || isFinished())
        return true;
    RunRecord refused = newRecord();
    refused.finished = refused.started;
    refused.outcome = RunRecord::Outcome::NotOpened;
    refused.openResult = ResultCode::OpenFailed;
    refused.openFailureReason =
        tr("could not start a worker: the system refused a new thread (memory or thread limit reached)");
    refused.failures.append({Step::Open, std::nullopt, ResultCode::OpenFailed});
    const std::lock_guard<std::mutex> lock(finishedRecordMutex);
    finishedRecord = refused;
    return false;
}

RunRecord WorkThread::newRecord() const
{
    RunRecord fresh;
    fresh.locator = locatorText;
    fresh.source = runSource;
    fresh.host = QSysInfo::machineHostName();
    fresh.started = QDateTime::currentDateTimeUtc();
    return fresh;
}

void WorkThread::abort()
{
    abortRequested = true;
    // A library call in progress is not held to its full length where the library allows that.
    if (isRunning())
        ControllerLibrary::instance().interruptCalls();
}

void WorkThread::run()
{
    const std::lock_guard<std::mutex> oneRunAtATime(runMutex);
    record = newRecord();
    emit logMessage(QStringLiteral("Starting calibration...\n"));

    const uint32_t opened = connection.open(locatorText);
    if (opened != 0) {
        emit logMessage(tr("Could not initialize! Error: %1\n").arg(opened));
        record.openResult = opened;
        record.openFailureReason = connection.openFailureReason();
        recordFailure(Step::Open, opened);
        endRun(RunRecord::Outcome::NotOpened);
        return;
    }
    emit logMessage(QStringLiteral("Successfully initialized.\n"));

    uint32_t channels = 0;
    const bool channelsReached = prepareSensors() && readChannelCount(channels);
    if (channelsReached && !calibrateChannels(channels)) {
        endRun(RunRecord::Outcome::Aborted); // the connection is closed and no summary follows
        return;
    }
    connection.close();
    emit logMessage(tr("\nCalibration routine finished with %1 errors.\n").arg(record.errors));
    endRun(channelsReached ? RunRecord::Outcome::Finished : RunRecord::Outcome::Incomplete);
}

void WorkThread::endRun(RunRecord::Outcome outcome)
{
    record.outcome = outcome;
    record.finished = QDateTime::currentDateTimeUtc();
    const std::lock_guard<std::mutex> lock(finishedRecordMutex);
    finishedRecord = record;
}

bool WorkThread::prepareSensors()
{
    uint32_t mode = 0;
    if (const uint32_t r = connection.getSensorEnabled(mode)) {
        emit logMessage(tr("Could not read sensor enabled mode! Error: %1\n").arg(r));
        ++record.errors;
        recordFailure(Step::GetSensorEnabled, r);
        return false;
    }
    if (mode != SensorsDisabled)
        return true;
    emit logMessage(QStringLiteral("Sensors disabled. Setting to Power Save Mode.\n"));
    if (const uint32_t r = connection.setSensorEnabled(PowerSaveMode)) {
        emit logMessage(tr("Could not set Power Save Mode! Error: %1\n").arg(r));
        ++record.errors;
        recordFailure(Step::SetSensorEnabled, r);
        return false;
    }
    return true;
}

// A channel count that cannot be read ends the pass but is not counted as an error.
bool WorkThread::readChannelCount(uint32_t& channels)
{
    if (const uint32_t r = connection.getNumberOfChannels(channels)) {
        emit logMessage(tr("Could not get number of channels! Error: %1\n").arg(r));
        recordFailure(Step::GetNumberOfChannels, r);
        return false;
    }
    record.channelCount = channels;
    return true;
}

bool WorkThread::calibrateChannels(uint32_t channels)
{
    for (uint32_t channel = 0; channel < channels; ++channel) {
        if (abortRequested) {
            emit logMessage(QStringLiteral("Aborting.\n"));
            connection.close();
            return false;
        }
        emit channelStarted(channel, channels);
        if (!calibrateChannel(channel))
            return false;
    }
    return true;
}

bool WorkThread::calibrateChannel(uint32_t channel)
{
    using Result = RunRecord::Channel::Result;
    // Channel numbers print as signed, result codes as unsigned decimal.
    const int shownChannel = static_cast<int>(channel);
    channelTimer.start();
    const uint32_t r = connection.calibrateSensor(channel);
    if (r == NoSensor) {
        emit logMessage(tr("\tChannel %1: no sensor\n").arg(shownChannel));
        recordChannel(channel, Result::NoSensor, r);
        return true;
    }
    if (r != 0) {
        emit logMessage(tr("Could not calibrate channel %1! Error: %2\n").arg(shownChannel).arg(r));
        ++record.errors;
        recordChannel(channel, Result::Failed, r);
        recordFailure(Step::CalibrateSensor, r, channel);
        return true;
    }

    emit logMessage(tr("\tChannel %1: calibrating... ").arg(shownChannel));
    uint32_t status = 0;
    if (const uint32_t s = connection.getStatus(channel, status)) {
        reportStatusFailure(channel, s);
        return true;
    }
    return waitWhileCalibrating(channel, status);
}

// Polls back to back, and only the status value decides when the wait ends: a failed read is
// neither reported nor counted, and is followed by a short pause so that a controller which fails
// at once is not polled in a busy loop. Only a controller that is provably gone ends the wait
// early; the channel is then reported as after a failed first read, and the run goes on.
bool WorkThread::waitWhileCalibrating(uint32_t channel, uint32_t status)
{
    while (status == Calibrating) {
        if (abortRequested) {
            emit logMessage(QStringLiteral("Aborting.\n"));
            connection.stop(channel);
            connection.close();
            recordChannel(channel, RunRecord::Channel::Result::Aborted, 0);
            return false;
        }
        const uint32_t r = connection.getStatus(channel, status);
        if (r == 0 || status != Calibrating)
            continue; // a failed read may still tell that the channel is done
        if (controllerGone()) {
            giveUpWaiting(channel, r);
            return true;
        }
        QThread::msleep(static_cast<unsigned long>(limits.failedStatusPause.count()));
    }
    emit logMessage(QStringLiteral("done.\n"));
    recordChannel(channel, RunRecord::Channel::Result::Calibrated, 0);
    return true;
}

bool WorkThread::controllerGone() const
{
    return connection.lineLost() || connection.silentFor() >= limits.controllerSilence;
}

// A controller that comes back must not keep this axis moving while the next channel starts, so
// the channel is told to stop, once; what that answers changes nothing. A lost line takes no
// command.
void WorkThread::giveUpWaiting(uint32_t channel, uint32_t result)
{
    reportStatusFailure(channel, result);
    if (!connection.lineLost())
        connection.stop(channel);
}

void WorkThread::reportStatusFailure(uint32_t channel, uint32_t result)
{
    emit logMessage(
        tr("Could not get status of channel %1! Error: %2\n").arg(static_cast<int>(channel)).arg(result));
    ++record.errors;
    recordChannel(channel, RunRecord::Channel::Result::Failed, result);
    recordFailure(Step::GetStatus, result, channel);
}

void WorkThread::recordFailure(Step step, uint32_t code, std::optional<uint32_t> channel)
{
    record.failures.append({step, channel, code});
}

void WorkThread::recordChannel(uint32_t channel, RunRecord::Channel::Result result, uint32_t code)
{
    record.channels.append({channel, result, code, static_cast<double>(channelTimer.nsecsElapsed()) / 1e9});
}

#include "moc_workthread.cpp"
