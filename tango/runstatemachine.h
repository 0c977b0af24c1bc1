// The device's rules in one place: where its run stands (idle, running, asked to stop, stuck in a
// controller library call), what a command or a write may do now, and what State and Status say
// about a run. The device holds one and asks it before it acts.
#pragma once

#include "locatorcheck.h"
#include "runrecord.h"

#include <tango.h>

#include <atomic>
#include <optional>
#include <string>

class RunStateMachine
{
public:
    enum class Phase
    {
        Idle,
        Running,  // from Calibrate until the run's end is shown
        Stopping, // asked to stop (by Abort, Init, the server's end or a restart), not ended yet
        Stuck,    // asked to stop and not ended within the stop limit: a library call that does not return
    };

    // The text a stuck run's Status holds.
    static const char* const LibraryDoesNotReturn;

    Phase phase() const { return current; }
    bool running() const { return current != Phase::Idle; }
    bool stuck() const { return current == Phase::Stuck; }
    // Calibrate's runs so far, so that a watch knows whether the run it waits for is still the same.
    unsigned long runs() const { return started; }

    void start();
    // True when the run was going on and has now been asked to stop; false when there was nothing
    // to ask (no run, or it was asked already).
    bool askStop();
    void markStuck() { current = Phase::Stuck; }
    void end() { current = Phase::Idle; }

    // Why Calibrate may not start a run now, or nothing when it may. `locatorProblem` says why the
    // device has no locator, when it has none.
    std::optional<LocatorCheck::Refusal> calibrateRefusal(const std::string& locator, bool allowReplay,
                                                          const std::string& runLocator,
                                                          const std::string& locatorProblem) const;
    std::optional<LocatorCheck::Refusal> locatorWriteRefusal(const std::string& runLocator) const;

    static Tango::DevState stateAfter(const RunRecord& record);
    // For FAULT the reason line that vkr-calibrate prints, or the log's line when the connection
    // gave no reason.
    static std::string statusAfter(const RunRecord& record, const std::string& locator);
    static std::string stuckStatus(const std::string& runLocator);
    static std::string idleStatus(const std::string& locator, const std::string& locatorProblem);
    static const char* const NoLocator;

private:
    std::atomic<Phase> current{Phase::Idle};
    unsigned long started = 0;
};
