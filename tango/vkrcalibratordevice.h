// The Tango device of one controller (Tango class VKRCalibrator): Calibrate and Abort drive the same
// worker as the window and vkr-calibrate; the run's log, result and report are its attributes, and
// the state, the log and the report are pushed as change events as they change. This header
// includes Tango's, which put `using namespace std` at global scope: only vkr-tango-server's own
// sources may include it.
#pragma once

#include "historyjournal.h"
#include "runrecord.h"
#include "workthread.h"

#include <tango.h>

#include <atomic>
#include <string>
#include <vector>

class VKRCalibratorDevice : public Tango::Device_5Impl
{
public:
    VKRCalibratorDevice(Tango::DeviceClass* deviceClass, std::string& name);
    // Stops a run that is going on, as delete_device() does.
    ~VKRCalibratorDevice() override;

    // Reads the Locator property and shows the device idle (ON).
    void init_device() override;
    // Aborts a run that is going on and waits for it: the calibrating channel is stopped and the
    // connection closed. Tango calls this for Init and when the server ends (SIGTERM, SIGINT).
    void delete_device() override;

    // Starts a run and returns at once; DevFailed while one runs or without a locator.
    void calibrate();
    // Asks the run to stop, as the window's Abort does; its end shows in State. Nothing to do when
    // no run is going on.
    void abort();

    void readLog(Tango::Attribute& attribute);
    void readErrors(Tango::Attribute& attribute);
    void readOutcome(Tango::Attribute& attribute);
    void readChannelResults(Tango::Attribute& attribute);
    void readChannelResultNames(Tango::Attribute& attribute);
    void readLastReport(Tango::Attribute& attribute);
    void readLocator(Tango::Attribute& attribute);
    // Refused while a run is going on; a server started with -nodb has no properties, so this is
    // how its devices get a locator.
    void writeLocator(Tango::WAttribute& attribute);

private:
    // What the worker's signals do, in the worker's thread: the server has no Qt event loop
    // (Tango's server_run() owns the main thread), so they are taken by direct connections.
    void logMessage(const QString& message);
    void runFinished();
    // Runs change under the device's monitor, which serialises it with the clients' calls; nothing
    // once delete_device() has begun, since the device then waits for the run to end.
    template <typename Change> void serialised(Change change);
    // Shows a run that has ended; under the monitor.
    void showEnded(const RunRecord& record);
    void remember(const RunRecord& record);
    void pushAll();
    void pushString(const char* attribute, const std::string& value);
    void readString(Tango::Attribute& attribute, const std::string& value);
    Tango::DevString* channelNameValues();

    std::atomic_bool closing{false};
    bool running = false;   // from Calibrate until the run's end is shown
    std::string locator;    // what the next run opens
    std::string runLocator; // what the current or last run opened
    std::string logText;    // the current or last run's log, as the worker wrote it
    std::string outcome;    // the report's outcome of the last run; "running" during one
    std::string lastReport; // the report's JSON object of the last run
    Tango::DevULong errors = 0;
    std::vector<Tango::DevULong> channelCodes;
    std::vector<std::string> channelNames;
    HistoryJournal history;
    // What a read or an event hands to Tango: pointers into the members above, valid while the
    // monitor is held.
    Tango::DevString stringValue = nullptr;
    std::vector<Tango::DevString> nameValues;
    // Last, so that it is destroyed first: its destructor waits for a run whose signals still
    // reach the members above.
    WorkThread worker;
};

class VKRCalibratorClass : public Tango::DeviceClass
{
public:
    static VKRCalibratorClass* init(const char* name);

protected:
    explicit VKRCalibratorClass(std::string& name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& attributes) override;
    void device_factory(const Tango::DevVarStringArray* names) override;
};
