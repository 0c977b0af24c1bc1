// The worker thread that runs one calibration over all channels of a controller and reports
// every step as a log text fragment.
#pragma once

#include "vkrconnection.h"

#include <QString>
#include <QThread>
#include <atomic>
#include <chrono>
#include <mutex>

class WorkThread : public QThread
{
    Q_OBJECT

public:
    // How a run ended, as the routine knows it; callers act on this, never on the log's text.
    struct alignas(8) Ending // aligned so that an atomic one needs no lock
    {
        enum Kind
        {
            NotOpened, // the controller could not be opened; nothing else was tried
            Aborted,   // an abort request ended the run; no summary
            Finished   // the run closed the connection and wrote its summary
        };
        Kind kind = NotOpened;
        uint32_t errors = 0; // errors counted by then; the summary's count when Finished
    };

    // How long status reads during a channel's wait may keep failing, with no successful read in
    // between, before the wait gives up on the channel. Long enough to ride out a garbled reply or
    // a short stall, far shorter than a user's patience with a controller that has fallen silent.
    static constexpr std::chrono::milliseconds FailingStatusLimit{3000};
    // The pause after a failed status read, so that a controller which fails at once is not
    // polled in a busy loop.
    static constexpr std::chrono::milliseconds FailedStatusPause{100};

    explicit WorkThread(QObject* parent = nullptr);
    // A worker that is destroyed mid-run asks its routine to stop and waits for it: a thread
    // object must never be destroyed while its thread runs.
    ~WorkThread() override;

    // The locator that the next run opens.
    void setLocator(const QString& locator);

    // Starts a run unless one is still going. Every abort() from this call on stops that run,
    // also one that comes before the new thread has begun.
    void startRun(Priority priority = InheritPriority);

    // How the last run ended; read it once finished() has arrived.
    Ending lastEnding() const { return ending.load(); }

signals:
    void logMessage(const QString& message);
    // Follows the log text of a failed open: why it failed, in words for the user (empty when the
    // code is all that is known). Not part of the log, which stays as it is.
    void openFailed(const QString& reason);

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
    // loop (the run goes on to close and summarise) or an abort (the run ends at once).
    bool prepareSensors(uint32_t& errors);
    bool readChannelCount(uint32_t& channels);
    bool calibrateChannels(uint32_t channels, uint32_t& errors);
    bool calibrateChannel(uint32_t channel, uint32_t& errors);
    // The wait while a channel calibrates; false when an abort ended it.
    bool waitWhileCalibrating(uint32_t channel, uint32_t status, uint32_t& errors);
    void reportStatusFailure(uint32_t channel, uint32_t result, uint32_t& errors);

    QString locatorText;
    VKRConnection connection;
    // Held by each run from its first step to its last. Runs never overlap; this makes the hand-over
    // of the connection from one run's thread to the next explicit, instead of leaving it to Qt's
    // internal thread bookkeeping, which ThreadSanitizer cannot see.
    std::mutex runMutex;
    std::atomic_bool abortRequested{false};
    static_assert(std::atomic_bool::is_always_lock_free, "the abort flag must be lock-free");
    // Atomic because one run's thread writes it and the next run's thread overwrites it, and the
    // hand-over between them happens inside Qt.
    std::atomic<Ending> ending{Ending{}};
    static_assert(std::atomic<Ending>::is_always_lock_free, "the ending must be handed over without a lock");
};
