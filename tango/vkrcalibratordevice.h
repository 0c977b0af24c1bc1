// The Tango device of one controller (Tango class VKRCalibrator): Calibrate and Abort drive the same
// worker as the window and vkr-calibrate; the run's log, result and report are its attributes, and
// every change of them, of State and of Status is pushed as a change and an archive event. This
// header includes Tango's, which put `using namespace std` at global scope: only vkr-tango-server's
// own sources may include it.
#pragma once

#include "journalwriter.h"
#include "runaftermath.h"
#include "runrecord.h"
#include "stringvalue.h"
#include "workthread.h"

#include <tango.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class VKRCalibratorDevice : public Tango::Device_5Impl
{
public:
    // How long a run asked to stop (by Abort, Init or the server's end) may take before it is taken
    // as stuck in a controller library call.
    static constexpr std::chrono::seconds StopLimit{5};
    // How long Init waits for the run it stops: under a Tango client's default time-out of 3 s, so
    // that Init answers; a later end, or the stuck run's FAULT, shows as events.
    static constexpr std::chrono::milliseconds InitWait{2500};
    // The text a stuck run's Status holds.
    static const char* const LibraryDoesNotReturn;

    VKRCalibratorDevice(Tango::DeviceClass* deviceClass, std::string& name);
    // Stops a run that is going on, waiting for it until StopLimit after the server's end began
    // (or the device's own restart); a run still stuck in a library call then is left behind.
    ~VKRCalibratorDevice() override;

    // Reads the properties and shows the device idle (ON), or FAULT while a run is stuck, or RUNNING
    // while a run that was asked to stop has not ended yet; the last run's account stays. Pushes
    // what it changed, except while the server starts.
    void init_device() override;
    // Asks a run that is going on to stop, as Abort does, and waits for its end at most InitWait;
    // Tango calls this for Init.
    void delete_device() override;

    // The state machine, asked before each command and write: DevFailed with the reason and the
    // text when it is not allowed now.
    void allowCalibrate();
    void allowLocatorWrite();

    // Starts a run and returns at once.
    void calibrate();
    // Asks the run to stop and returns at once: its end shows in State and Status, or FAULT when it
    // has not ended StopLimit later. Nothing to do when no run is going on.
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
    struct Link;
    using Clock = std::chrono::steady_clock;

    // What the worker's signals do, in the worker's thread: the server has no Qt event loop
    // (Tango's server_run() owns the main thread), so they are taken by direct connections.
    void logMessage(const QString& message);
    void runFinished();
    // Runs change under the device's monitor, which serialises it with the clients' calls; nothing
    // once the device is being destroyed.
    template <typename Change> void serialised(Change change);
    void readProperties();
    // Asks the run to stop, once, and watches it on a thread of its own: the device goes FAULT when
    // the run has not ended StopLimit later.
    void askStop();
    // Waits for the run's thread to end until the deadline, the device's monitor let go meanwhile.
    // False when the run is still going at the deadline.
    bool waitForRun(Clock::time_point deadline);
    void joinStopWatch();
    void showEnded(const RunRecord& record);
    void showStuck();
    void showIdle();
    // Hands the record to the history's writer, which appends it on a thread of its own.
    void remember(const RunRecord& record);
    void pushAll();
    template <typename... Value> void push(const char* attribute, Value... value);
    void logLines(const std::string& text);
    std::string clientName();
    Tango::DevString* channelNameValues();

    std::atomic_bool closing{false};
    bool running = false;          // from Calibrate until the run's end is shown
    bool stopAsked = false;        // by Abort, Init or the server's end, since Calibrate
    std::atomic_bool stuck{false}; // a stop was asked and the run did not end within StopLimit
    unsigned long runs = 0;        // Calibrate's runs so far, so that a stop's watch knows its own
    bool allowReplay = false;
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
    RunAftermath journal;
    std::shared_ptr<Link> link;
    std::unique_ptr<WorkThread> worker;
    // After an admin's DevRestart, pushes the new device's values once Tango has handed it the
    // subscribers of the device it replaces.
    std::thread restartPush;
    // Waits for a run asked to stop, and shows it stuck when it does not end in time.
    std::thread stopWatch;
};
