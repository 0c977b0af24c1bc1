#include "vkrcalibratordevice.h"

#include "monitorpause.h"
#include "refuse.h"
#include "runrecordjson.h"

#include <QJsonDocument>
#include <cstdio>
#include <mutex>

namespace {

// A spectrum holds at most this many channels; a controller reports its count as a 32-bit number,
// but none has anywhere near as many.
constexpr long MaxChannels = 65536;

// The longest stop limit the StopLimit property may set: a Tango client's time-out for DevRestart
// must stay above it.
constexpr double LongestStopLimit = 60.0;

// Where a device that cannot tell its client about a failure says so: the server's standard error,
// which its service manager keeps.
void report(const std::string& text)
{
    std::fprintf(stderr, "vkr-tango-server: %s\n", text.c_str());
}

std::string descriptionOf(const Tango::DevFailed& failure)
{
    return failure.errors.length() > 0 ? std::string(failure.errors[0].desc.in()) : std::string("unknown");
}

// The locator as the worker takes it: UTF-8 when it is, else Latin-1, byte for character.
QString locatorText(const std::string& bytes)
{
    const QByteArray raw = QByteArray::fromStdString(bytes);
    const QString utf8 = QString::fromUtf8(raw);
    return utf8.toUtf8() == raw ? utf8 : QString::fromLatin1(raw);
}

} // namespace

VKRCalibratorDevice::VKRCalibratorDevice(Tango::DeviceClass* deviceClass, std::string& name)
    : Tango::Device_5Impl(deviceClass, name), worker(new WorkThread)
{
    connectWorker();
    // A journal that cannot be written never stops a calibration; each run it could not take is said.
    journal.setFailureNotifier([this] {
        if (const auto reason = journal.takeFailure())
            report(get_name() + ": the calibration history could not be written (" +
                   journal.historyPath().toStdString() + "): " + reason->toStdString());
    });
    lastReport = "{}";
    for (const char* attribute : {"State", "Status"}) {
        set_change_event(attribute, true, false);
        set_archive_event(attribute, true, false);
    }
    std::optional<DeviceHandoff> handoff = DeviceHandoff::take(get_name());
    pushesHeld = bool(handoff);
    init_device();
    if (handoff)
        takeOver(std::move(*handoff));
}

void VKRCalibratorDevice::connectWorker()
{
    const std::shared_ptr<RunLink> reach = link;
    QObject::connect(worker.get(), &WorkThread::logMessage,
                     [reach](const QString& text) { reach->message(text); });
    QObject::connect(worker.get(), &QThread::finished, [reach] { reach->finished(); });
    link->attach([this](const QString& text) { logMessage(text); }, [this] { runFinished(); });
}

// A device made by the admin's DevRestart gets the old device's subscribers only after it is made:
// the admin holds its monitor until then. They have the old device's values; the new device pushes
// what differs from those.
void VKRCalibratorDevice::takeOver(DeviceHandoff handoff)
{
    pushed = std::move(handoff.pushed);
    if (handoff.run) {
        // The old run goes on showing, stuck, until its call returns; its end is this device's to
        // show and to record.
        serialised([&] {
            machine.start();
            machine.askStop();
            machine.markStuck();
            runLocator = handoff.run->locator;
            client = handoff.run->client;
            logText = handoff.run->log;
            outcome = "running";
            showStuck();
        });
        link->detach();
        link = handoff.run->link;
        worker.reset(handoff.run->worker);
        link->attach([this](const QString& text) { logMessage(text); }, [this] { runFinished(); });
    }
    watchers.watchRestart([this] {
        serialised([this] {
            pushesHeld = false;
            pushChanges();
        });
    });
}

VKRCalibratorDevice::~VKRCalibratorDevice()
{
    worker->abort();
    // A run already found stuck has had its wait. A run that ends meanwhile shows its end, and
    // pushes it, from the worker's thread.
    const bool ended = waitForRun(machine.stuck() ? Clock::now() : endDeadline());
    if (!ended)
        serialised([this] {
            if (!machine.stuck()) {
                machine.markStuck();
                showStuck();
            }
            pushChanges();
        });
    closing = true;
    watchers.close();
    {
        const MonitorPause pause(get_dev_monitor());
        watchers.joinAll(); // the stop watch is done by the deadline at the latest
        link->detach();
    }
    DeviceHandoff handoff{pushed, std::nullopt};
    if (!ended) {
        // A thread object must not be destroyed while its thread runs: the run is left to the
        // device made in this one's place, or to the library when the server ends.
        handoff.run = DeviceHandoff::Run{link, worker.release(), runLocator, client.text(), logText.text()};
        report(get_name() + ": the run on " + runLocator + " did not stop within " +
               std::to_string(stopLimit.count()) + " ms, " + RunStateMachine::LibraryDoesNotReturn +
               "; ending without it: the controller may still be calibrating");
    }
    DeviceHandoff::leave(get_name(), std::move(handoff));
}

void VKRCalibratorDevice::init_device()
{
    readProperties();
    if (!machine.running())
        showIdle(); // a run still going keeps its RUNNING, or its FAULT when stuck
    pushChanges();
}

void VKRCalibratorDevice::delete_device()
{
    askStop();
    if (machine.phase() == RunStateMachine::Phase::Stopping)
        waitForRun(Clock::now() + std::min(InitWait, stopLimit));
}

void VKRCalibratorDevice::readProperties()
{
    if (!Tango::Util::_UseDb) {
        locator = std::string(); // no property: a client writes the Locator
        return;
    }
    Tango::DbData properties{Tango::DbDatum("Locator"), Tango::DbDatum("AllowReplay"),
                             Tango::DbDatum("StopLimit")};
    try {
        get_db_device()->get_property(properties);
    } catch (const Tango::DevFailed& failure) {
        // A database that does not answer takes nothing away: the locator stays.
        locatorProblem = "The properties could not be read (" + descriptionOf(failure) + "): " +
                         (locator.empty() ? "the device has no locator."
                                          : "the device keeps the locator " + locator.text() + ".");
        ERROR_STREAM << locatorProblem << std::endl;
        return;
    }
    locatorProblem.clear();
    allowReplay = false;
    // A property line with commas arrives as several values (Tango's file format splits there); a
    // locator's scenario items are separated by commas, so they are joined back.
    std::string property;
    std::vector<std::string> pieces;
    if (!properties[0].is_empty() && (properties[0] >> pieces))
        for (const std::string& piece : pieces)
            property += (property.empty() ? "" : ",") + piece;
    if (!properties[1].is_empty() && !(properties[1] >> allowReplay)) {
        allowReplay = false;
        locatorProblem = "The AllowReplay property is neither true nor false.";
    }
    double seconds = double(DefaultStopLimit.count()) / 1000;
    if (!properties[2].is_empty() &&
        (!(properties[2] >> seconds) || !(seconds > 0 && seconds <= LongestStopLimit))) {
        seconds = double(DefaultStopLimit.count()) / 1000;
        locatorProblem = "The StopLimit property is not a number of seconds above 0 and at most 60.";
    }
    stopLimit = std::chrono::milliseconds(static_cast<long long>(seconds * 1000 + 0.5));
    property = LocatorCheck::trimmed(property);
    if (const auto refusal = LocatorCheck::refusal(property, true)) {
        locatorProblem = "The Locator property is not taken. " + refusal->text;
        property.clear();
    }
    if (!locatorProblem.empty())
        ERROR_STREAM << locatorProblem << std::endl;
    locator = property;
}

template <typename Change> void VKRCalibratorDevice::serialised(Change change)
{
    // Tango's monitor and its events know the threads omniORB knows; the worker's is made known for
    // the length of the call.
    omni_thread::ensure_self knownThread;
    for (;;) {
        if (closing)
            return;
        // The device's monitor: the server keeps Tango's default serialisation, by device.
        Tango::TangoMonitor& monitor = get_dev_monitor();
        try {
            monitor.get_monitor();
        } catch (const Tango::DevFailed&) {
            continue; // taken past its time-out: waited for again, unless the device closes
        }
        if (!closing) {
            try {
                change();
            } catch (const Tango::DevFailed& failure) {
                report(get_name() + ": a change event could not be pushed: " + descriptionOf(failure));
            }
        }
        monitor.rel_monitor();
        return;
    }
}

void VKRCalibratorDevice::allowCalibrate()
{
    if (const auto refusal =
            machine.calibrateRefusal(locator.text(), allowReplay, runLocator, locatorProblem))
        refuse(*refusal, "VKRCalibrator::Calibrate");
}

void VKRCalibratorDevice::allowLocatorWrite()
{
    if (const auto refusal = machine.locatorWriteRefusal(runLocator))
        refuse(*refusal, "VKRCalibrator::write_Locator");
}

void VKRCalibratorDevice::calibrate()
{
    // The end of the last run may still be going into the history, after its end was shown.
    // The monitor stays held: no other client's Calibrate may pass its check meanwhile.
    if (!DeviceWatchers::waitFor(*worker, Clock::now() + stopLimit))
        refuse({"OPERATION_NOT_ALLOWED", "The last run has not ended yet"}, "VKRCalibrator::Calibrate");
    machine.start();
    runLocator = locator.text();
    client = clientName();
    logText = std::string();
    pendingLine.clear();
    outcome = "running";
    lastReport = "{}";
    errors = 0;
    channelCodes.clear();
    channelNames.clear();
    set_state(Tango::RUNNING);
    set_status("Calibrating " + runLocator + " for " + client.text() + ".");
    INFO_STREAM << get_status() << std::endl;
    pushChanges();
    worker->setLocator(locatorText(runLocator));
    worker->setSource(RunRecord::Source::Tango);
    // The run's first message waits for this command to return: the monitor is held until then.
    if (worker->startRun())
        return;
    // No thread for the run: it ended before it began, and its record says why.
    RunRecord refused = worker->lastRecord();
    refused.client = QString::fromStdString(client.text());
    showEnded(refused);
    remember(refused);
}

void VKRCalibratorDevice::abort()
{
    if (machine.phase() != RunStateMachine::Phase::Running)
        return;
    INFO_STREAM << "Abort asked by " << clientName() << std::endl;
    askStop();
}

// A run stuck in a library call may take longer than a client waits for its command, so the
// command only asks; the watch shows the FAULT when the run has not ended in time.
void VKRCalibratorDevice::askStop()
{
    if (!machine.askStop())
        return;
    worker->abort();
    const unsigned long run = machine.runs();
    watchers.watchStop(*worker, Clock::now() + stopLimit, [this, run] {
        serialised([&] {
            // The run may have ended, and another begun, while the monitor was waited for.
            if (machine.phase() != RunStateMachine::Phase::Stopping || machine.runs() != run)
                return;
            machine.markStuck();
            showStuck();
            pushChanges();
        });
    });
}

bool VKRCalibratorDevice::waitForRun(Clock::time_point deadline)
{
    const MonitorPause pause(get_dev_monitor());
    return DeviceWatchers::waitFor(*worker, deadline);
}

// The server's end gives every device's run the same stop limit, counted from the first device it
// destroys; a device restarted on its own counts from its own end.
VKRCalibratorDevice::Clock::time_point VKRCalibratorDevice::endDeadline() const
{
    static std::once_flag once;
    static Clock::time_point serverEnd;
    const auto now = Clock::now();
    if (!Tango::Util::instance()->is_svr_shutting_down())
        return now + stopLimit;
    std::call_once(once, [&] { serverEnd = now + stopLimit; });
    return serverEnd;
}

void VKRCalibratorDevice::logMessage(const QString& message)
{
    serialised([&] {
        const std::string text = message.toStdString();
        logText += text;
        pushChanges();
        logLines(text);
    });
}

// The log's whole lines go to Tango's logging service, where LogViewer and the facility's log
// collector see them; the failures' lines as errors.
void VKRCalibratorDevice::logLines(const std::string& text)
{
    pendingLine += text;
    size_t end;
    while ((end = pendingLine.find('\n')) != std::string::npos) {
        const std::string line = pendingLine.substr(0, end);
        pendingLine.erase(0, end + 1);
        if (line.empty())
            continue;
        if (line.find("Could not") != std::string::npos) {
            ERROR_STREAM << runLocator << ": " << line << std::endl;
        } else {
            INFO_STREAM << runLocator << ": " << line << std::endl;
        }
    }
}

// The end is shown before it goes into the history, so that a slow disk never delays State; the
// client is the device's to tell.
void VKRCalibratorDevice::runFinished()
{
    RunRecord record = worker->lastRecord();
    record.client = QString::fromStdString(client.text()); // set by Calibrate, before the run
    serialised([&] { showEnded(record); });
    remember(record);
}

void VKRCalibratorDevice::showEnded(const RunRecord& record)
{
    const QJsonObject json = RunRecordJson::toJson(record);
    lastReport = QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
    outcome = RunRecordJson::outcomeName(record).toStdString();
    errors = record.errors;
    channelCodes.clear();
    channelNames.clear();
    for (int i = 0; i < record.channels.size() && i < MaxChannels; ++i) {
        channelCodes.push_back(record.channels[i].code);
        channelNames.push_back(RunRecordJson::resultName(record.channels[i].result).toStdString());
    }
    machine.end();
    set_state(RunStateMachine::stateAfter(record));
    set_status(RunStateMachine::statusAfter(record, runLocator));
    if (get_state() == Tango::FAULT) {
        ERROR_STREAM << get_status() << std::endl;
    } else if (get_state() == Tango::ALARM) {
        WARN_STREAM << get_status() << std::endl;
    } else {
        INFO_STREAM << get_status() << std::endl;
    }
    pushChanges();
}

void VKRCalibratorDevice::showStuck()
{
    set_state(Tango::FAULT);
    set_status(RunStateMachine::stuckStatus(runLocator));
    ERROR_STREAM << get_status() << std::endl;
}

void VKRCalibratorDevice::showIdle()
{
    set_state(Tango::ON);
    set_status(RunStateMachine::idleStatus(locator.text(), locatorProblem));
}

void VKRCalibratorDevice::remember(const RunRecord& record)
{
    journal.keep(record);
}
