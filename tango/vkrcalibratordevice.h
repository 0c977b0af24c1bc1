// The Tango device of one controller (Tango class VKRCalibrator): Calibrate and Abort drive the same
// worker as the window and vkr-calibrate; the run's log, result and report are its attributes, and
// every change of them, of State and of Status is pushed as a change and an archive event, once.
// This header includes Tango's, which put `using namespace std` at global scope: only
// vkr-tango-server's own sources may include it.
#pragma once

#include "devicehandoff.h"
#include "devicewatchers.h"
#include "journalwriter.h"
#include "runaftermath.h"
#include "runrecord.h"
#include "runstatemachine.h"
#include "stringvalue.h"
#include "workthread.h"

#include <tango.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

class VKRCalibratorDevice : public Tango::Device_5Impl
{
public:
    // How long a run asked to stop (by Abort, Init, a restart or the server's end) may take before
    // it is taken as stuck in a controller library call, unless the StopLimit property says.
    static constexpr std::chrono::milliseconds DefaultStopLimit{5000};
    // How long Init waits for the run it stops, at most: under a Tango client's default time-out of
    // 3 s, so that Init answers; a later end, or the stuck run's FAULT, shows as events.
    static constexpr std::chrono::milliseconds InitWait{2500};

    VKRCalibratorDevice(Tango::DeviceClass* deviceClass, std::string& name);
    // Stops a run that is going on, waiting for it until the stop limit after the server's end
    // began (or the device's own restart), and pushes its end; a run still stuck in a library call
    // then is left to the device made in its place, or to the library when the server ends.
    ~VKRCalibratorDevice() override;

    // Reads the properties and shows the device idle (ON); a run still going keeps its RUNNING, or
    // its FAULT when stuck. The last run's account stays. Pushes what changed.
    void init_device() override;
    // Asks a run that is going on to stop, as Abort does, and waits for its end at most InitWait;
    // Tango calls this for Init.
    void delete_device() override;

    // Asked before each command and write (RunStateMachine's rules): DevFailed with the reason and
    // the text when it is not allowed now.
    void allowCalibrate();
    void allowLocatorWrite();

    // Starts a run and returns at once.
    void calibrate();
    // Asks the run to stop and returns at once: its end shows in State and Status, or FAULT when it
    // has not ended within the stop limit. Nothing to do when no run is going on.
    void abort();

    void readLog(Tango::Attribute& attribute);
    void readErrors(Tango::Attribute& attribute);
    void readOutcome(Tango::Attribute& attribute);
    void readChannelResults(Tango::Attribute& attribute);
    void readChannelResultNames(Tango::Attribute& attribute);
    void readLastReport(Tango::Attribute& attribute);
    void readLocator(Tango::Attribute& attribute);
    void readClient(Tango::Attribute& attribute);
    // A server started with -nodb has no properties, so this is how its devices get a locator.
    void writeLocator(Tango::WAttribute& attribute);

private:
    using Clock = std::chrono::steady_clock;

    // What the worker's signals do, in the worker's thread: the server has no Qt event loop
    // (Tango's server_run() owns the main thread), so they are taken by direct connections.
    void logMessage(const QString& message);
    void runFinished();
    void connectWorker();
    // Takes over what the device this one replaces left: its subscribers' values, and its run.
    void takeOver(DeviceHandoff handoff);
    // Runs change under the device's monitor, which serialises it with the clients' calls; nothing
    // once the device is being destroyed.
    template <typename Change> void serialised(Change change);
    void readProperties();
    // Asks the run to stop, once, and has it watched: the device goes FAULT when the run has not
    // ended within the stop limit.
    void askStop();
    // Waits for the run's thread to end until the deadline, the device's monitor let go meanwhile.
    // False when the run is still going at the deadline.
    bool waitForRun(Clock::time_point deadline);
    Clock::time_point endDeadline() const;
    void showEnded(const RunRecord& record);
    void showStuck();
    void showIdle();
    // Where every run's record leaves the device: the history's writer appends it on a thread of its own.
    void remember(const RunRecord& record);
    // Pushes each attribute whose value differs from what its last event carried.
    void pushChanges();
    template <typename... Value> void pushIfChanged(const char* attribute, std::string key, Value... value);
    void logLines(const std::string& text);
    std::string clientName();
    Tango::DevString* channelNameValues();

    std::atomic_bool closing{false};
    RunStateMachine machine;
    bool allowReplay = false;
    std::chrono::milliseconds stopLimit = DefaultStopLimit;
    std::string locatorProblem; // why the Locator property was not taken
    StringValue locator;        // what the next run opens
    std::string runLocator;     // what the current or last run opened
    StringValue client;         // who started the current or last run
    StringValue logText;        // the current or last run's log, as the worker wrote it
    std::string pendingLine;    // the log's unfinished line, for Tango's logging service
    StringValue outcome;        // the report's outcome of the last run; "running" during one
    StringValue lastReport;     // the report's JSON object of the last run
    Tango::DevULong errors = 0;
    std::vector<Tango::DevULong> channelCodes;
    std::vector<std::string> channelNames;
    std::vector<Tango::DevString> nameValues;
    // By attribute, what its last event carried (or the value its subscribers read at the start).
    std::map<std::string, std::string> pushed;
    // Until a restarted device has its predecessor's subscribers, it pushes nothing.
    bool pushesHeld = false;
    RunAftermath journal;
    std::shared_ptr<RunLink> link = std::make_shared<RunLink>();
    std::unique_ptr<WorkThread> worker;
    DeviceWatchers watchers{get_dev_monitor()};
};
