#include "vkrcalibratordevice.h"

#include "locatorcheck.h"
#include "monitorpause.h"
#include "runrecordjson.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QSysInfo>
#include <cstdio>
#include <cstring>
#include <mutex>

const char* const VKRCalibratorDevice::LibraryDoesNotReturn = "the controller library does not return";

// What the worker's signals reach: the device while it lives. A run stuck in a library call may
// outlive its device (the server ends without it), and its signals must then find nobody.
struct VKRCalibratorDevice::Link
{
    std::mutex mutex;
    VKRCalibratorDevice* device = nullptr;

    template <typename Call> void call(Call call)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (device)
            call(*device);
    }
};

namespace {

// A spectrum holds at most this many channels; a controller reports its count as a 32-bit number,
// but none has anywhere near as many.
constexpr long MaxChannels = 65536;

[[noreturn]] void refuse(const char* reason, const std::string& description, const char* origin)
{
    Tango::Except::throw_exception(reason, description, origin);
}

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

Tango::DevState stateAfter(const RunRecord& record)
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

// For FAULT the reason line that vkr-calibrate prints, or the log's line when the connection gave
// no reason.
std::string statusAfter(const RunRecord& record, const std::string& locator)
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

// The server's end gives every device's run the same StopLimit, counted from the first device it
// destroys; a device restarted on its own counts from its own end.
std::chrono::steady_clock::time_point endDeadline()
{
    static std::once_flag once;
    static std::chrono::steady_clock::time_point serverEnd;
    const auto now = std::chrono::steady_clock::now();
    if (!Tango::Util::instance()->is_svr_shutting_down())
        return now + VKRCalibratorDevice::StopLimit;
    std::call_once(once, [&] { serverEnd = now + VKRCalibratorDevice::StopLimit; });
    return serverEnd;
}

} // namespace

VKRCalibratorDevice::VKRCalibratorDevice(Tango::DeviceClass* deviceClass, std::string& name)
    : Tango::Device_5Impl(deviceClass, name), link(std::make_shared<Link>()), worker(new WorkThread)
{
    link->device = this;
    const std::shared_ptr<Link> reach = link;
    QObject::connect(worker.get(), &WorkThread::logMessage, [reach](const QString& message) {
        reach->call([&](VKRCalibratorDevice& device) { device.logMessage(message); });
    });
    QObject::connect(worker.get(), &QThread::finished,
                     [reach] { reach->call([](VKRCalibratorDevice& device) { device.runFinished(); }); });
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
    init_device();
    // A device made by the admin's DevRestart gets the old device's subscribers only after it is
    // made: the admin holds its monitor until then.
    if (!Tango::Util::instance()->is_svr_starting())
        restartPush = std::thread([this] {
            omni_thread::ensure_self knownThread;
            Tango::TangoMonitor& admin = Tango::Util::instance()->get_dserver_device()->get_dev_monitor();
            for (;;) {
                try {
                    admin.get_monitor();
                    break;
                } catch (const Tango::DevFailed&) {
                    if (closing)
                        return;
                }
            }
            admin.rel_monitor();
            serialised([this] { pushAll(); });
        });
}

VKRCalibratorDevice::~VKRCalibratorDevice()
{
    closing = true;
    worker->abort();
    // A run already found stuck has had its wait.
    const bool ended = waitForRun(stuck ? Clock::now() : endDeadline());
    {
        const MonitorPause pause(get_dev_monitor());
        if (restartPush.joinable())
            restartPush.join();
        if (stopWatch.joinable())
            stopWatch.join(); // done by the deadline at the latest, and idle once closing is set
        const std::lock_guard<std::mutex> lock(link->mutex);
        link->device = nullptr;
    }
    if (ended)
        return;
    // A thread object must not be destroyed while its thread runs: the run is left to the library,
    // its worker kept where the process can still reach it and never destroyed.
    static auto* const leftBehind = new std::vector<WorkThread*>;
    leftBehind->push_back(worker.release());
    report(get_name() + ": the run on " + runLocator + " did not stop within " +
           std::to_string(StopLimit.count()) + " s, " + LibraryDoesNotReturn +
           "; ending without it: the controller may still be calibrating");
}

void VKRCalibratorDevice::init_device()
{
    readProperties();
    if (!running)
        showIdle(); // a run still going keeps its RUNNING, or its FAULT when stuck
    if (!Tango::Util::instance()->is_svr_starting())
        pushAll();
}

void VKRCalibratorDevice::delete_device()
{
    askStop();
    if (running && !stuck)
        waitForRun(Clock::now() + InitWait);
}

void VKRCalibratorDevice::readProperties()
{
    locatorProblem.clear();
    allowReplay = false;
    std::string property;
    if (Tango::Util::_UseDb) {
        Tango::DbData properties{Tango::DbDatum("Locator"), Tango::DbDatum("AllowReplay")};
        try {
            get_db_device()->get_property(properties);
            // A property line with commas arrives as several values (Tango's file format splits
            // there); a locator's scenario items are separated by commas, so they are joined back.
            std::vector<std::string> pieces;
            if (!properties[0].is_empty() && (properties[0] >> pieces)) {
                for (const std::string& piece : pieces)
                    property += (property.empty() ? "" : ",") + piece;
            }
            if (!properties[1].is_empty() && !(properties[1] >> allowReplay)) {
                allowReplay = false;
                locatorProblem = "The AllowReplay property is neither true nor false.";
            }
        } catch (const Tango::DevFailed& failure) {
            locatorProblem = "The Locator property could not be read: " + descriptionOf(failure);
        }
    }
    // Blanks around a locator are never part of it, as in the window and vkr-calibrate.
    property = QString::fromStdString(property).trimmed().toStdString();
    const auto refusal = LocatorCheck::refusal(property, true);
    if (refusal) {
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
    if (running && stuck)
        refuse("OPERATION_NOT_ALLOWED",
               "The run on " + runLocator + " is stuck: " + LibraryDoesNotReturn +
                   ". Restart the server once it has ended the call, or power the controller off.",
               "VKRCalibrator::Calibrate");
    if (running)
        refuse("OPERATION_NOT_ALLOWED",
               "A calibration of " + runLocator + " is running: wait for its end, or Abort it",
               "VKRCalibrator::Calibrate");
    if (locator.empty())
        refuse("CONFIGURATION_ERROR", get_status(), "VKRCalibrator::Calibrate");
    if (const auto refusal = LocatorCheck::refusal(locator.text(), allowReplay))
        refuse(refusal->reason, refusal->text, "VKRCalibrator::Calibrate");
}

void VKRCalibratorDevice::allowLocatorWrite()
{
    if (running)
        refuse("OPERATION_NOT_ALLOWED", "The locator cannot change while " + runLocator + " is calibrated",
               "VKRCalibrator::write_Locator");
}

void VKRCalibratorDevice::calibrate()
{
    // The end of the last run may still be going into the history, after its end was shown.
    if (!worker->wait(QDeadlineTimer(std::chrono::milliseconds(StopLimit))))
        refuse("OPERATION_NOT_ALLOWED", "The last run has not ended yet", "VKRCalibrator::Calibrate");
    running = true;
    stopAsked = false;
    ++runs;
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
    pushAll();
    worker->setLocator(QString::fromStdString(runLocator));
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
    if (!running || stuck || stopAsked)
        return;
    INFO_STREAM << "Abort asked by " << clientName() << std::endl;
    askStop();
}

// A run stuck in a library call may take longer than a client waits for its command, so the
// command only asks; the watch shows the FAULT when the run has not ended in time.
void VKRCalibratorDevice::askStop()
{
    if (!running || stuck || stopAsked)
        return;
    stopAsked = true;
    worker->abort();
    joinStopWatch();
    const Clock::time_point deadline = Clock::now() + StopLimit;
    const unsigned long run = runs;
    stopWatch = std::thread([this, deadline, run] {
        if (waitForRun(deadline))
            return;
        serialised([&] {
            // The run may have ended, and another begun, while the monitor was waited for.
            if (!running || stuck || runs != run)
                return;
            showStuck();
            pushAll();
        });
    });
}

// The last stop's watch is done or about to be: its run has ended, or was shown stuck, before
// another run could be asked to stop. It may still wait for the monitor this thread holds.
void VKRCalibratorDevice::joinStopWatch()
{
    if (!stopWatch.joinable())
        return;
    const MonitorPause pause(get_dev_monitor());
    stopWatch.join();
}

bool VKRCalibratorDevice::waitForRun(Clock::time_point deadline)
{
    const MonitorPause pause(get_dev_monitor());
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return worker->wait(QDeadlineTimer(std::max(left, std::chrono::milliseconds(0))));
}

void VKRCalibratorDevice::logMessage(const QString& message)
{
    serialised([&] {
        const std::string text = message.toStdString();
        logText += text;
        push("Log", logText.forTango());
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
    running = false;
    stuck = false;
    set_state(stateAfter(record));
    set_status(statusAfter(record, runLocator));
    if (get_state() == Tango::FAULT) {
        ERROR_STREAM << get_status() << std::endl;
    } else if (get_state() == Tango::ALARM) {
        WARN_STREAM << get_status() << std::endl;
    } else {
        INFO_STREAM << get_status() << std::endl;
    }
    pushAll();
}

void VKRCalibratorDevice::showStuck()
{
    stuck = true;
    set_state(Tango::FAULT);
    set_status("The run on " + runLocator + " was asked to stop, but " + LibraryDoesNotReturn +
               ": the controller may still be calibrating. The run ends when the call returns.");
    ERROR_STREAM << get_status() << std::endl;
}

void VKRCalibratorDevice::showIdle()
{
    set_state(Tango::ON);
    if (!locatorProblem.empty())
        set_status(locatorProblem);
    else if (locator.empty())
        set_status("No locator: set the Locator property, or write the Locator attribute.");
    else
        set_status("Ready to calibrate " + locator.text() + ".");
}

void VKRCalibratorDevice::remember(const RunRecord& record)
{
    journal.keep(record);
}

// Each change goes out as a change event and as an archive event, so that an archiver needs no
// polling. Tango copies the value before the push returns.
template <typename... Value> void VKRCalibratorDevice::push(const char* attribute, Value... value)
{
    push_change_event(attribute, value...);
    push_archive_event(attribute, value...);
}

void VKRCalibratorDevice::pushAll()
{
    if (Tango::Util::instance()->is_svr_starting())
        return;
    push("State");
    push("Status");
    push("Log", logText.forTango());
    push("Outcome", outcome.forTango());
    push("LastReport", lastReport.forTango());
    push("Locator", locator.forTango());
    push("Client", client.forTango());
    push("Errors", &errors);
    // Tango takes no null pointer, also for an empty spectrum.
    Tango::DevULong none = 0;
    push("ChannelResults", channelCodes.empty() ? &none : channelCodes.data(), long(channelCodes.size()));
    push("ChannelResultNames", channelNameValues(), long(channelNames.size()));
}

// Tango's identification of the client whose request this thread serves: its host and its
// process (or Java main class).
std::string VKRCalibratorDevice::clientName()
{
    const Tango::client_addr* address = get_client_ident();
    if (!address)
        return "an unidentified client";
    // A client on this host may come over omniORB's Unix socket, which names no host.
    std::string host;
    if (std::strncmp(address->client_ip, "giop:unix:", 10) == 0)
        host = QSysInfo::machineHostName().toStdString();
    else if (address->client_ip_2_client_name(host) != 0 || host.empty())
        host = address->client_ip;
    if (!address->client_ident)
        return host;
    if (address->client_lang == Tango::JAVA)
        return host + ", " + address->java_main_class;
    return host + ", pid " + std::to_string(address->client_pid);
}

void VKRCalibratorDevice::readLog(Tango::Attribute& attribute)
{
    attribute.set_value(logText.forTango());
}

void VKRCalibratorDevice::readErrors(Tango::Attribute& attribute)
{
    attribute.set_value(&errors);
}

void VKRCalibratorDevice::readOutcome(Tango::Attribute& attribute)
{
    attribute.set_value(outcome.forTango());
}

void VKRCalibratorDevice::readChannelResults(Tango::Attribute& attribute)
{
    static Tango::DevULong none = 0;
    attribute.set_value(channelCodes.empty() ? &none : channelCodes.data(), long(channelCodes.size()));
}

void VKRCalibratorDevice::readChannelResultNames(Tango::Attribute& attribute)
{
    attribute.set_value(channelNameValues(), long(channelNames.size()));
}

// Tango takes no null pointer, also for an empty spectrum.
Tango::DevString* VKRCalibratorDevice::channelNameValues()
{
    nameValues.clear();
    for (const std::string& name : channelNames)
        nameValues.push_back(const_cast<char*>(name.c_str()));
    static Tango::DevString noName = nullptr;
    return nameValues.empty() ? &noName : nameValues.data();
}

void VKRCalibratorDevice::readLastReport(Tango::Attribute& attribute)
{
    attribute.set_value(lastReport.forTango());
}

void VKRCalibratorDevice::readLocator(Tango::Attribute& attribute)
{
    attribute.set_value(locator.forTango());
}

void VKRCalibratorDevice::readClient(Tango::Attribute& attribute)
{
    attribute.set_value(client.forTango());
}

void VKRCalibratorDevice::writeLocator(Tango::WAttribute& attribute)
{
    Tango::DevString written = nullptr;
    attribute.get_write_value(written);
    const std::string text = written ? written : "";
    if (const auto refusal = LocatorCheck::refusal(text, allowReplay))
        refuse(refusal->reason, refusal->text, "VKRCalibrator::write_Locator");
    locator = QString::fromStdString(text).trimmed().toStdString();
    locatorProblem.clear();
    // Tango takes the written value as the set-point only after this returns, so the event would
    // carry the last one; Tango's polling would then find the set-point changed and push the
    // locator a second time.
    std::string setPoint = text;
    attribute.set_write_value(setPoint);
    push("Locator", locator.forTango());
    if (!stuck && outcome.empty()) {
        showIdle();
        push("Status");
    }
}
