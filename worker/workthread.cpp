#include "workthread.h"

namespace {
constexpr uint32_t SensorsDisabled = 0;
constexpr uint32_t PowerSaveMode = 2;
constexpr uint32_t NoSensor = 129;
constexpr uint32_t Calibrating = 6;
} // namespace

WorkThread::WorkThread(QObject* parent) : QThread(parent) {}

// A run that has not reached its first step yet clears the abort flag when it gets there, which
// would leave this waiting for the run to finish on its own; so the request is repeated until
// the thread has ended.
WorkThread::~WorkThread()
{
    abort();
    while (!wait(10))
        abort();
}

void WorkThread::setLocator(const QString& locator)
{
    locatorText = locator;
}

void WorkThread::abort()
{
    abortRequested = true;
}

void WorkThread::run()
{
    abortRequested = false;
    uint32_t errors = 0;
    emit logMessage(QStringLiteral("Starting calibration...\n"));

    const uint32_t opened = connection.open(locatorText);
    if (opened != 0) {
        emit logMessage(tr("Could not initialize! Error: %1\n").arg(opened));
        return;
    }
    emit logMessage(QStringLiteral("Successfully initialized.\n"));

    uint32_t channels = 0;
    if (prepareSensors(errors) && readChannelCount(channels)) {
        if (!calibrateChannels(channels, errors))
            return; // aborted: the connection is closed and no summary follows
    }
    connection.close();
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
        emit logMessage(tr("Could not get status of channel %1! Error: %2\n").arg(shownChannel).arg(s));
        ++errors;
        return true;
    }
    // Polls back to back; a failed read is neither reported nor counted, only the status
    // value it leaves decides.
    while (status == Calibrating) {
        if (abortRequested) {
            emit logMessage(QStringLiteral("Aborting.\n"));
            connection.stop(channel);
            connection.close();
            return false;
        }
        connection.getStatus(channel, status);
    }
    emit logMessage(QStringLiteral("done.\n"));
    return true;
}
