#include "runstatemachine.h"

const char* const RunStateMachine::LibraryDoesNotReturn = "the controller library does not return";
const char* const RunStateMachine::NoLocator =
    "No locator: set the Locator property, or write the Locator attribute.";

void RunStateMachine::start()
{
    current = Phase::Running;
    ++started;
}

bool RunStateMachine::askStop()
{
    if (current != Phase::Running)
        return false;
    current = Phase::Stopping;
    return true;
}

std::optional<LocatorCheck::Refusal>
RunStateMachine::calibrateRefusal(const std::string& locator, bool allowReplay, const std::string& runLocator,
                                  const std::string& locatorProblem) const
{
    if (current == Phase::Stuck)
        return LocatorCheck::Refusal{"OPERATION_NOT_ALLOWED",
                                     "The run on " + runLocator + " has not ended: " + LibraryDoesNotReturn +
                                         " and the controller may still be calibrating. Calibrate again "
                                         "once the call has returned (State leaves FAULT), or power the "
                                         "controller off."};
    if (current != Phase::Idle)
        return LocatorCheck::Refusal{"OPERATION_NOT_ALLOWED",
                                     "A calibration of " + runLocator +
                                         " is running: wait for its end, or Abort it"};
    if (locator.empty())
        return LocatorCheck::Refusal{"CONFIGURATION_ERROR",
                                     locatorProblem.empty() ? NoLocator : locatorProblem};
    return LocatorCheck::refusal(locator, allowReplay);
}

std::optional<LocatorCheck::Refusal> RunStateMachine::locatorWriteRefusal(const std::string& runLocator) const
{
    if (current == Phase::Idle)
        return std::nullopt;
    return LocatorCheck::Refusal{"OPERATION_NOT_ALLOWED",
                                 "The locator cannot change while " + runLocator + " is calibrated"};
}

Tango::DevState RunStateMachine::stateAfter(const RunRecord& record)
{
    switch (record.outcome) {
    case RunRecord::Outcome::NotOpened:
        return Tango::FAULT;
    case RunRecord::Outcome::Aborted:
    case RunRecord::Outcome::Incomplete:
        return Tango::ALARM;
    case RunRecord::Outcome::Finished:
        break;
    }
    return record.errors == 0 ? Tango::ON : Tango::ALARM;
}

std::string RunStateMachine::statusAfter(const RunRecord& record, const std::string& locator)
{
    switch (record.outcome) {
    case RunRecord::Outcome::NotOpened:
        if (!record.openFailureReason.isEmpty())
            return record.openFailureReason.toStdString();
        return "Could not initialize! Error: " + std::to_string(record.openResult);
    case RunRecord::Outcome::Aborted:
        return "The calibration of " + locator + " was aborted.";
    case RunRecord::Outcome::Incomplete:
        return "The calibration of " + locator +
               " ended before the channels: the sensor mode or the channel count could not be read or set.";
    case RunRecord::Outcome::Finished:
        break;
    }
    return locator + " calibrated with " + std::to_string(record.errors) + " errors.";
}

std::string RunStateMachine::stuckStatus(const std::string& runLocator)
{
    return "The run on " + runLocator + " was asked to stop, but " + LibraryDoesNotReturn +
           ": the controller may still be calibrating. The run ends when the call returns.";
}

std::string RunStateMachine::idleStatus(const std::string& locator, const std::string& locatorProblem)
{
    if (!locatorProblem.empty())
        return locatorProblem;
    if (locator.empty())
        return NoLocator;
    return "Ready to calibrate " + locator + ".";
}
