#include "workthread.h"

#include <optional>

namespace {
constexpr uint32_t SensorsDisabled = 0;
constexpr uint32_t PowerSaveMode = 2;
constexpr uint32_t NoSensor = 129;
constexpr uint32_t Calibrating = 6;
} // namespace

WorkThread::WorkThread(QObject* parent) : QThread(parent) {}

WorkThread::~WorkThread()
{
    abort();
    wait();
}

void WorkThread::setLocator(const QString& locator)
{
    locatorText = locator;
}

// The flag is cleared here rather than in the new thread, so that an abort which comes before
// the thread has begun is not forgotten there.
void WorkThread::startRun(Priority priority)
{
    if (isRunning())
        return;
    abortRequested = false;
    start(priority);
}

void WorkThread::abort()
{
    abortRequested = true;
}

void WorkThread::run()
{
    const std::lock_guard<std::mutex> oneRunAtATime(runMutex);
    uint32_t errors = 0;
    ending = Ending{};
    emit logMessage(QStringLiteral("Starting calibration...\n"));

    const uint32_t opened = connection.open(locatorText);
    if (opened != 0) {
        emit logMessage(tr("Could not initialize! Error: %1\n").arg(opened));
        emit openFailed(connection.openFailureReason());
        return;
    }
    emit logMessage(QStringLiteral("Successfully initialized.\n"));

    uint32_t channels = 0;
    if (prepareSensors(errors) && readChannelCount(channels)) {
        if (!calibrateChannels(channels, errors)) {
            ending = Ending{Ending::Aborted, errors}; // the connection is closed and no summary follows
            return;
        }
    }
    connection.close();
    ending = Ending{Ending::Finished, errors};
    emit logMessage(tr("\nCalibration routine finished with %1 errors.\n").arg(errors));
}

bool WorkThread::prepareSensors(uint32_t& errors)
{
    uint32_t mode = 0;
    if (const uint32_t r = connection.getSensorEnabled(mode)) {
        emit logMessage(tr("Could not read sensor enabled mode! Error: %1\n").arg(r));
        ++errors;
        return false;
    }
    if (mode != SensorsDisabled)
        return true;
    emit logMessage(QStringLiteral("Sensors disabled. Setting to Power Save Mode.\n"));
    if (const uint32_t r = connection.setSensorEnabled(PowerSaveMode)) {
        emit logMessage(tr("Could not set Power Save Mode! Error: %1\n").arg(r));
        ++errors;
        return false;
    }
    return true;
}

// A channel count that cannot be read ends the pass but is not counted as an error.
bool WorkThread::readChannelCount(uint32_t& channels)
{
    if (const uint32_t r = connection.getNumberOfChannels(channels)) {
        emit logMessage(tr("Could not get number of channels! Error: %1\n").arg(r));
        return false;
    }
    return true;
}

bool WorkThread::calibrateChannels(uint32_t channels, uint32_t& errors)
{
    for (uint32_t channel = 0; channel < channels; ++channel) {
        if (abortRequested) {
            emit logMessage(QStringLiteral("Aborting.\n"));
            connection.close();
            return false;
        }
        if (!calibrateChannel(channel, errors))
            return false;
    }
    return true;
}

bool WorkThread::calibrateChannel(uint32_t channel, uint32_t& errors)
{
    // Channel numbers print as signed, result codes as unsigned decimal.
    const int shownChannel = static_cast<int>(channel);
    const uint32_t r = connection.calibrateSensor(channel);
    if (r == NoSensor) {
        emit logMessage(tr("\tChannel %1: no sensor\n").arg(shownChannel));
        return true;
    }
    if (r != 0) {
        emit logMessage(tr("Could not calibrate channel %1! Error: %2\n").arg(shownChannel).arg(r));
        ++errors;
        return true;
    }

    emit logMessage(tr("\tChannel %1: calibrating... ").arg(shownChannel));
    uint32_t status = 0;
    if (const uint32_t s = connection.getStatus(channel, status)) {
        reportStatusFailure(channel, s, errors);
        return true;
    }
    return waitWhileCalibrating(channel, status, errors);
}

// Polls back to back while the reads succeed, and only the status value decides when the wait
// ends. A failed read is neither reported nor counted while it may be transient, but it cannot
// hold the wait forever: a lost line ends it at once, and reads that keep failing end it after
// FailingStatusLimit. The channel is then reported as after a failed first read, and the run
// goes on with the next channel.
bool WorkThread::waitWhileCalibrating(uint32_t channel, uint32_t status, uint32_t& errors)
{
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> failingSince;
    while (status == Calibrating) {
        if (abortRequested) {
            emit logMessage(QStringLiteral("Aborting.\n"));
            connection.stop(channel);
            connection.close();
            return false;
        }
        const Clock::time_point readStarted = Clock::now();
        const uint32_t r = connection.getStatus(channel, status);
        if (r == 0) {
            failingSince.reset();
            continue;
        }
        if (status != Calibrating)
            break; // a failed read that still tells the channel is done
        if (!failingSince)
            failingSince = readStarted;
        if (connection.lineLost() || Clock::now() - *failingSince >= FailingStatusLimit) {
            reportStatusFailure(channel, r, errors);
            return true;
        }
        QThread::msleep(static_cast<unsigned long>(FailedStatusPause.count()));
    }
    emit logMessage(QStringLiteral("done.\n"));
    return true;
}

void WorkThread::reportStatusFailure(uint32_t channel, uint32_t result, uint32_t& errors)
{
    emit logMessage(
        tr("Could not get status of channel %1! Error: %2\n").arg(static_cast<int>(channel)).arg(result));
    ++errors;
}
