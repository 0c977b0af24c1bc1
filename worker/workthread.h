// The worker thread that runs one calibration over all channels of a controller and reports
// every step as a log text fragment.
#pragma once

#include "runrecord.h"
#include "vkrconnection.h"
#include "workerlimits.h"

#include <QElapsedTimer>
#include <QString>
#include <QThread>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>

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
    // The program the runs are started from, which their records name.
    void setSource(RunRecord::Source source) { runSource = source; }
    // Who sees the serial line of the runs from now on (a conversation being recorded); nullptr
    // for nobody. Not owned; set between runs.
    void setConversationObserver(SerialPortObserver* observer) { connection.setObserver(observer); }
    // The times the next runs work to; set between runs.
    void setLimits(const WorkerLimits& limits);

    // The record of the last run that ended; read it once finished() has arrived. It names the
    // locator, the source, the host, the start and the end.
    RunRecord lastRecord() const;
    // A record of a run of the set locator from the set source, starting now: what a run that never
    // starts fills in.
    RunRecord newRecord() const;

    // Starts a run unless one is still going. Every abort() from this call on stops that run,
    // also one that comes before the new thread has begun. False when the system would not create
    // the thread: the last record then tells so (not opened, code 1) and finished() never comes.
    bool startRun(Priority priority = InheritPriority);

signals:
    void logMessage(const QString& message);
    // A channel's calibration is about to begin: its index (from 0) and the controller's channel
    // count, for a front-end that shows where the run stands. The log's texts are unchanged by it.
    void channelStarted(quint32 channel, quint32 channelCount);

public slots:
    // Asks the running routine to stop; returns at once. Only sets an atomic flag, so it may be
    // called from any thread.
    void abort();

protected:
    void run() override;

private:
    // Runs are started through startRun(), which owns the abort flag's reset.
    using QThread::start;

    // Each returns false when the run leaves its normal course: a failure before the channel
    // loop (the run goes on to close and summarise) or an abort (the run ends at once). Errors are
    // counted in the record.
    bool prepareSensors();
    bool readChannelCount(uint32_t& channels);
    bool calibrateChannels(uint32_t channels);
    bool calibrateChannel(uint32_t channel);
    // The wait while a channel calibrates; false when an abort ended it.
    bool waitWhileCalibrating(uint32_t channel, uint32_t status);
    // True when the controller is provably gone after a failed status read: its line lost, or
    // silent for longer than the limits allow.
    bool controllerGone() const;
    void giveUpWaiting(uint32_t channel, uint32_t result);
    void reportStatusFailure(uint32_t channel, uint32_t result);
    void endRun(RunRecord::Outcome outcome);
    void recordChannel(uint32_t channel, RunRecord::Channel::Result result, uint32_t code);
    void recordFailure(RunRecord::Failure::Step step, uint32_t code,
                       std::optional<uint32_t> channel = std::nullopt);

    QString locatorText;
    RunRecord::Source runSource = RunRecord::Source::Window;
    WorkerLimits limits;
    VKRConnection connection;
    // Held by each run from its first step to its last. Runs never overlap; this makes the hand-over
    // of the connection from one run's thread to the next explicit, instead of leaving it to Qt's
    // internal thread bookkeeping, which ThreadSanitizer cannot see.
    std::mutex runMutex;
    std::atomic_bool abortRequested{false};
    static_assert(std::atomic_bool::is_always_lock_free, "the abort flag must be lock-free");
    // The record of the run that is going on; only the run's own thread touches it.
    RunRecord record;
    // The record of the last run that ended, handed to other threads under its own lock: a
    // queued signal would hand it over inside Qt, where ThreadSanitizer cannot see it.
    mutable std::mutex finishedRecordMutex;
    RunRecord finishedRecord;
    QElapsedTimer channelTimer;
};
