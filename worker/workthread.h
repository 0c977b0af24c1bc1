// The worker thread that runs one calibration over all channels of a controller and reports
// every step as a log text fragment.
#pragma once

#include "vkrconnection.h"

#include <QString>
#include <QThread>
#include <atomic>

class WorkThread : public QThread
{
    Q_OBJECT

public:
    explicit WorkThread(QObject* parent = nullptr);
    // A worker that is destroyed mid-run asks its routine to stop and waits for it: a thread
    // object must never be destroyed while its thread runs.
    ~WorkThread() override;

    // The locator that the next run opens.
    void setLocator(const QString& locator);

signals:
    void logMessage(const QString& message);

public slots:
    // Asks the running routine to stop; returns at once.
    void abort();

protected:
    void run() override;

private:
    // Each returns false when the run leaves its normal course: a failure before the channel
    // loop (the run goes on to close and summarise) or an abort (the run ends at once).
    bool prepareSensors(uint32_t& errors);
    bool readChannelCount(uint32_t& channels);
    bool calibrateChannels(uint32_t channels, uint32_t& errors);
    bool calibrateChannel(uint32_t channel, uint32_t& errors);

    QString locatorText;
    VKRConnection connection;
    std::atomic_bool abortRequested{false};
    static_assert(std::atomic_bool::is_always_lock_free, "the abort flag must be lock-free");
};
